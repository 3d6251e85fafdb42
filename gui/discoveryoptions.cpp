// SPDX-License-Identifier: GPL-3.0-or-later
#include "discoveryoptions.h"
#include "discover_run.h"
#include "text.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <arpa/inet.h>

bool read_targets(const QString &text, std::vector<in_addr> *out, QString *bad)
{
    std::vector<in_addr> read;
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    for (const QString &word : text.split(separators, Qt::SkipEmptyParts)) {
        in_addr address{};
        // inet_pton takes the four dotted numbers alone, no shorter forms.
        if (inet_pton(AF_INET, word.toLatin1().constData(), &address) != 1 ||
            address.s_addr == INADDR_ANY) {
            if (bad != nullptr)
                *bad = word;
            return false;
        }
        read.push_back(address);
    }
    out->clear();
    add_targets(out, read.data(), static_cast<int>(read.size()));
    return true;
}

QString targets_text(const std::vector<in_addr> &targets)
{
    QStringList lines;
    for (const in_addr &target : targets) {
        char text[INET_ADDRSTRLEN];
        lines << QString::fromLatin1(format_ipv4(target, text));
    }
    return lines.join('\n');
}

DiscoveryOptions::DiscoveryOptions(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Discovery options"));
    auto *layout = new QFormLayout(this);
    targets = new QPlainTextEdit(this);
    targets->setObjectName("targets");
    targets->setPlaceholderText(tr("10.1.2.255\n10.1.3.7"));
    targets->setToolTip(tr("Also ask here, one address a line: the broadcast address of a "
                           "subnet behind a router, or one device's address"));
    layout->addRow(tr("Targets:"), targets);
    problem = new QLabel(this);
    problem->setObjectName("targetProblem");
    layout->addRow(problem);
    sourcePort = new QSpinBox(this);
    sourcePort->setObjectName("sourcePort");
    sourcePort->setRange(0, 65535);
    sourcePort->setSpecialValueText(tr("any"));
    sourcePort->setToolTip(tr("The UDP port the discoveries, setups and installs send from, "
                              "for a firewall that lets only it through; any: a free one"));
    layout->addRow(tr("Source port:"), sourcePort);
    askRemembered = new QCheckBox(tr("Ask remembered devices that do not answer at their last "
                                     "address"),
                                  this);
    askRemembered->setObjectName("askRemembered");
    askRemembered->setChecked(true);
    layout->addRow(askRemembered);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    okButton = buttons->button(QDialogButtonBox::Ok);
    layout->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &DiscoveryOptions::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DiscoveryOptions::reject);
    connect(targets, &QPlainTextEdit::textChanged, this, &DiscoveryOptions::check);
}

void DiscoveryOptions::setReach(const DiscoveryReach &reach)
{
    current = reach;
    targets->setPlainText(targets_text(reach.targets));
    sourcePort->setValue(reach.sourcePort);
    askRemembered->setChecked(reach.askRemembered);
    emit reachChanged(current);
}

// Nothing is taken while a target is not an address.
void DiscoveryOptions::check()
{
    std::vector<in_addr> read;
    QString bad;
    const bool usable = read_targets(targets->toPlainText(), &read, &bad);
    problem->setText(usable ? QString()
                            : tr("Not a dotted IPv4 address: \"%1\"").arg(bad.left(40)));
    okButton->setEnabled(usable);
}

void DiscoveryOptions::accept()
{
    DiscoveryReach chosen;
    if (!read_targets(targets->toPlainText(), &chosen.targets, nullptr))
        return;
    chosen.sourcePort = static_cast<uint16_t>(sourcePort->value());
    chosen.askRemembered = askRemembered->isChecked();
    setReach(chosen);
    QDialog::accept();
}

void DiscoveryOptions::reject()
{
    // What was typed and not taken goes.
    setReach(current);
    QDialog::reject();
}
