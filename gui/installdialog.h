// SPDX-License-Identifier: GPL-3.0-or-later
// The "Setup Device" dialog that a double-click on a row opens.
#pragma once

#include "setuprequest.h"

#include <QDialog>
#include <QLineEdit>

class QCheckBox;
class QFileDialog;
class QLabel;
class QPushButton;

// A line edit that reports a double-click instead of selecting a word.
class dClickLineEdit : public QLineEdit
{
    Q_OBJECT

  public:
    explicit dClickLineEdit(QWidget *parent);

  signals:
    void doubleClicked();

  protected:
    void mouseDoubleClickEvent(QMouseEvent *) override;
};

class InstallDialog : public QDialog
{
    Q_OBJECT

  public:
    InstallDialog(const QString &text, QWidget *parent = nullptr, const char *name = nullptr);

    void setMac(const QString &text);
    // What the fields hold now; a field still showing its prompt is empty.
    SetupFields fields() const;
    // The folder the file chooser opens in: where the last image was chosen.
    QString imageFolder() const;
    void setImageFolder(const QString &folder);

  public slots:
    void refreshFile(const QString &path);
    void openFileDialog();
    void performSetup();

  signals:
    void dialogDone(int result);

  private:
    QLabel *macLabel;
    QLineEdit *ipEdit;
    QLineEdit *netmaskEdit;
    QCheckBox *dhcpBox;
    dClickLineEdit *fileEdit;
    QFileDialog *fileDialog;
    QPushButton *setupButton;
};
