// SPDX-License-Identifier: GPL-3.0-or-later
// "Discovery options…": the targets beyond the local segment, the port the
// requests leave from, and whether remembered devices are asked directly.
// The window keeps them.
#pragma once

#include "discoveryreach.h"

#include <QDialog>
#include <QString>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

class DiscoveryOptions : public QDialog
{
    Q_OBJECT

  public:
    explicit DiscoveryOptions(QWidget *parent = nullptr);

    const DiscoveryReach &reach() const { return current; }
    // Shows reach, takes it as the current one and says so.
    void setReach(const DiscoveryReach &reach);

  public slots:
    void accept() override;
    void reject() override;

  signals:
    void reachChanged(const DiscoveryReach &reach);

  private:
    void check();

    QPlainTextEdit *targets;
    QSpinBox *sourcePort;
    QCheckBox *askRemembered;
    QLabel *problem;
    QPushButton *okButton;
    DiscoveryReach current;
};

// Dotted IPv4 addresses apart from 0.0.0.0, separated by white space or
// commas, each kept once; false, with the first that is not one in bad.
bool read_targets(const QString &text, std::vector<in_addr> *out, QString *bad);
// One address a line.
QString targets_text(const std::vector<in_addr> &targets);
