// SPDX-License-Identifier: GPL-3.0-or-later
#include "installdialog.h"
#include "trace.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{

const char ip_prompt[] = QT_TRANSLATE_NOOP("InstallDialog", "Enter new IP");
const char netmask_prompt[] = QT_TRANSLATE_NOOP("InstallDialog", "Enter new netmask");
const char file_prompt[] = QT_TRANSLATE_NOOP("InstallDialog", "Enter file to be uploaded");

QString unless_prompt(const QLineEdit *edit, const char *prompt)
{
    const QString text = edit->text().trimmed();
    return text == InstallDialog::tr(prompt) ? QString() : text;
}

} // namespace

dClickLineEdit::dClickLineEdit(QWidget *parent) : QLineEdit(parent) {}

void dClickLineEdit::mouseDoubleClickEvent(QMouseEvent *)
{
    // Not passed on: a double-click here opens the chooser, it selects no word.
    trace("File edit doubleClicked\n");
    emit doubleClicked();
}

InstallDialog::InstallDialog(const QString &text, QWidget *parent, const char *name)
    : QDialog(parent)
{
    setObjectName(QString::fromLatin1(name));
    resize(300, 120);
    setWindowTitle(tr("Setup Device"));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);

    macLabel = new QLabel(text, this);
    ipEdit = new QLineEdit(tr(ip_prompt), this);
    netmaskEdit = new QLineEdit(tr(netmask_prompt), this);
    dhcpBox = new QCheckBox(tr("DHCP"), this);
    fileEdit = new dClickLineEdit(this);
    fileEdit->setText(tr(file_prompt));
    setupButton = new QPushButton(tr("Setup"), this);

    // Rising stretch factors, each widget's position from the top.
    QWidget *const order[] = {macLabel, ipEdit, netmaskEdit, dhcpBox, fileEdit, setupButton};
    int stretch = 0;
    for (QWidget *widget : order)
        layout->addWidget(widget, stretch++);

    fileDialog = new QFileDialog(this, QString(), "/", "*");

    connect(this, &InstallDialog::dialogDone, this, &QDialog::done);
    connect(fileDialog, &QFileDialog::fileSelected, this, &InstallDialog::refreshFile);
    connect(fileEdit, &dClickLineEdit::doubleClicked, this, &InstallDialog::openFileDialog);
    connect(setupButton, &QPushButton::clicked, this, &InstallDialog::performSetup);
}

void InstallDialog::setMac(const QString &text)
{
    macLabel->setText(text);
}

SetupFields InstallDialog::fields() const
{
    return SetupFields{unless_prompt(ipEdit, ip_prompt), unless_prompt(netmaskEdit, netmask_prompt),
                       dhcpBox->isChecked(), unless_prompt(fileEdit, file_prompt)};
}

QString InstallDialog::imageFolder() const
{
    return fileDialog->directory().absolutePath();
}

void InstallDialog::setImageFolder(const QString &folder)
{
    fileDialog->setDirectory(folder);
}

void InstallDialog::refreshFile(const QString &path)
{
    fileEdit->setText(path);
}

void InstallDialog::openFileDialog()
{
    fileDialog->exec();
}

void InstallDialog::performSetup()
{
    emit dialogDone(1);
}
