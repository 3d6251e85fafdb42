// SPDX-License-Identifier: GPL-3.0-or-later
#include "addressplandialog.h"
#include "fleetlist.h"
#include "hostitem.h"
#include "qhostview.h"
#include "setuprequest.h"
#include "sighting.h"
#include "text.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <arpa/inet.h>
#include <cstring>

namespace
{

const QColor problemColour(0xb3, 0x1b, 0x1b);
const QColor doneColour(0x1e, 0x7b, 0x34);

QString address_text(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return QString::fromLatin1(format_ipv4(address, text));
}

QString with_netmask(in_addr address, in_addr netmask)
{
    return address_text(address) + " / " + address_text(netmask);
}

QString problems_text(unsigned problems)
{
    char text[256];
    return QString::fromLatin1(plan_problems_text(problems, text, sizeof(text)));
}

QString new_text(const PlanRow &row)
{
    if (row.problems & PLAN_PAST_SUBNET_END)
        return QStringLiteral("—");
    if (row.dhcp && row.ip.s_addr == INADDR_ANY)
        return AddressPlanDialog::tr("DHCP");
    if (row.dhcp)
        return AddressPlanDialog::tr("DHCP, %1").arg(with_netmask(row.ip, row.netmask));
    return with_netmask(row.ip, row.netmask);
}

QString outcome_text(const PlanRow &row, const ApplyResult &result)
{
    switch (result.outcome) {
    case APPLY_DONE:
        return AddressPlanDialog::tr("done");
    case APPLY_NOT_MOVED:
        if (result.answered)
            return AddressPlanDialog::tr("did not answer at its new address (answered at %1)")
                .arg(address_text(result.answered_ip));
        return AddressPlanDialog::tr("did not answer at its new address");
    case APPLY_FAILED:
        if (result.report.stage == STAGE_REFUSED)
            return AddressPlanDialog::tr("refused: %1").arg(describe_setup(result.report));
        return AddressPlanDialog::tr("failed: %1").arg(describe_setup(result.report));
    case APPLY_SKIPPED:
        return AddressPlanDialog::tr("skipped: %1").arg(problems_text(row.problems));
    case APPLY_NOT_REACHED:
        break;
    }
    return AddressPlanDialog::tr("not reached: stopped");
}

void paint(QTreeWidgetItem *item, const QColor &colour)
{
    for (int c = 0; c < AddressPlanDialog::ColumnCount; ++c)
        item->setForeground(c, colour.isValid() ? QBrush(colour) : QBrush());
}

} // namespace

AddressPlanDialog::AddressPlanDialog(QHostView *list, QWidget *parent) : QDialog(parent), list(list)
{
    setWindowTitle(tr("Assign addresses"));
    resize(760, 360);
    for (const RowsOfMac &group : group_by_mac(list->selectedRows()))
        macs.push_back(group.mac);

    auto *layout = new QVBoxLayout(this);
    auto *sources = new QGridLayout;
    layout->addLayout(sources);
    countButton = new QRadioButton(tr("Count from"), this);
    countButton->setObjectName("countFrom");
    countButton->setChecked(true);
    sources->addWidget(countButton, 0, 0);
    firstEdit = new QLineEdit(this);
    firstEdit->setObjectName("firstAddress");
    firstEdit->setPlaceholderText(tr("first address"));
    sources->addWidget(firstEdit, 0, 1);
    sources->addWidget(new QLabel(tr("Netmask"), this), 0, 2);
    netmaskEdit = new QLineEdit("255.255.255.0", this);
    netmaskEdit->setObjectName("planNetmask");
    sources->addWidget(netmaskEdit, 0, 3);
    fileButton = new QRadioButton(tr("From a CSV file"), this);
    fileButton->setObjectName("fromFile");
    sources->addWidget(fileButton, 1, 0);
    fileEdit = new QLineEdit(this);
    fileEdit->setObjectName("planFile");
    fileEdit->setPlaceholderText(tr("lines of mac,ip,netmask[,dhcp]"));
    sources->addWidget(fileEdit, 1, 1, 1, 2);
    auto *chooseButton = new QPushButton(tr("Choose…"), this);
    sources->addWidget(chooseButton, 1, 3);

    errorsLabel = new QLabel(this);
    errorsLabel->setObjectName("planErrors");
    errorsLabel->setStyleSheet(QString("color: %1").arg(problemColour.name()));
    errorsLabel->setWordWrap(true);
    errorsLabel->hide();
    layout->addWidget(errorsLabel);
    table = new QTreeWidget(this);
    table->setObjectName("planTable");
    table->setRootIsDecorated(false);
    table->setHeaderLabels({tr("MAC"), tr("Host name"), tr("Now"), tr("New"), tr("Status")});
    layout->addWidget(table, 1);
    summaryLabel = new QLabel(this);
    summaryLabel->setObjectName("planSummary");
    layout->addWidget(summaryLabel);

    auto *buttons = new QHBoxLayout;
    layout->addLayout(buttons);
    buttons->addStretch(1);
    applyButton = new QPushButton(tr("Apply"), this);
    applyButton->setObjectName("applyPlan");
    stopButton = new QPushButton(tr("Stop"), this);
    stopButton->setObjectName("stopPlan");
    stopButton->setEnabled(false);
    auto *closeButton = new QPushButton(tr("Close"), this);
    // Enter in a field is no confirmation: only a click applies.
    for (QPushButton *button : {chooseButton, applyButton, stopButton, closeButton}) {
        button->setAutoDefault(false);
        if (button != chooseButton)
            buttons->addWidget(button);
    }

    connect(countButton, &QRadioButton::toggled, this, &AddressPlanDialog::replan);
    connect(firstEdit, &QLineEdit::textChanged, this, &AddressPlanDialog::replan);
    connect(netmaskEdit, &QLineEdit::textChanged, this, &AddressPlanDialog::replan);
    connect(fileEdit, &QLineEdit::editingFinished, this, &AddressPlanDialog::replan);
    connect(chooseButton, &QPushButton::clicked, this, &AddressPlanDialog::chooseFile);
    connect(applyButton, &QPushButton::clicked, this, &AddressPlanDialog::apply);
    connect(stopButton, &QPushButton::clicked, this, &AddressPlanDialog::stop);
    connect(closeButton, &QPushButton::clicked, this, &AddressPlanDialog::reject);
    replan();
}

AddressPlanDialog::~AddressPlanDialog()
{
    if (!applying)
        return;
    stopRequested.store(true);
    thread->wait();
    if (list != nullptr)
        list->hold(false);
}

void AddressPlanDialog::chooseFile()
{
    auto *chooser =
        new QFileDialog(this, tr("Address plan"), QString(), tr("CSV (*.csv);;All (*)"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setFileMode(QFileDialog::ExistingFile);
    connect(chooser, &QFileDialog::fileSelected, this, [this](const QString &path) {
        fileEdit->setText(path);
        fileButton->setChecked(true);
        replan();
    });
    chooser->open();
}

// The plan follows every change of its source; the list is read again each
// time, so it checks against what the list knows now.
void AddressPlanDialog::replan()
{
    if (thread != nullptr || list == nullptr)
        return;
    rows.clear();
    QStringList errors;
    const std::vector<HeldAddress> held = held_in_list(list);
    const QString firstText = firstEdit->text().trimmed();
    const QString path = fileEdit->text().trimmed();
    if (countButton->isChecked() && !firstText.isEmpty()) {
        in_addr first{};
        in_addr netmask{};
        if (inet_pton(AF_INET, firstText.toLatin1().constData(), &first) != 1)
            errors << tr("The first address is not an IPv4 address");
        else if (inet_pton(AF_INET, netmaskEdit->text().trimmed().toLatin1().constData(),
                           &netmask) != 1)
            errors << tr("The netmask is not an IPv4 netmask");
        else
            count_plan(macs.data(), static_cast<int>(macs.size()), first, netmask, held.data(),
                       static_cast<int>(held.size()), &rows);
    } else if (!countButton->isChecked() && !path.isEmpty()) {
        std::vector<std::string> lines;
        // Read only when it is a plain file: a FIFO would hang the window.
        if (!QFileInfo(path).isFile())
            errors << tr("%1 is not a readable file").arg(path);
        else if (read_plan_file(QFile::encodeName(path).constData(), &rows, &lines) < 0)
            rows.clear();
        for (const std::string &line : lines)
            errors << QString::fromLocal8Bit(line.c_str());
    }
    std::vector<LocateResult> located;
    for (const PlanRow &row : rows)
        located.push_back(locate_in_list(list, row.mac));
    std::vector<LocalAddress> locals;
    list_local_addresses(&locals);
    clean = check_plan(&rows, located, held.data(), static_cast<int>(held.size()), locals);
    showPlan(errors);
}

void AddressPlanDialog::showPlan(const QStringList &errors)
{
    errorsLabel->setText(errors.join('\n'));
    errorsLabel->setVisible(!errors.isEmpty());
    table->clear();
    for (const PlanRow &row : rows) {
        char mac[MAC_TEXT_SIZE];
        QStringList texts{QString::fromLatin1(format_mac(row.mac, MacForm::Short, mac))};
        if (row.located) {
            const DiscoverEntry &entry = row.device.entry;
            texts << QString::fromLatin1(entry.hostname,
                                         strnlen(entry.hostname, sizeof(entry.hostname)))
                  << with_netmask(entry.ipaddr, entry.netmask);
        } else if (const QList<HostItem *> known = list->rowsOf(mac_key(row.mac));
                   !known.isEmpty()) {
            texts << known.first()->text(QHostView::Hostname)
                  << known.first()->text(QHostView::Ip) + " / " +
                         known.first()->text(QHostView::Netmask);
        } else {
            texts << QString() << QString();
        }
        texts << new_text(row) << (row.problems != 0 ? problems_text(row.problems) : tr("ready"));
        auto *item = new QTreeWidgetItem(table, texts);
        if (row.problems != 0)
            paint(item, problemColour);
    }
    for (int c = 0; c < ColumnCount; ++c)
        table->resizeColumnToContents(c);
    if (rows.empty())
        summaryLabel->setText(countButton->isChecked() && macs.empty()
                                  ? tr("No rows were selected: select the devices, or read a "
                                       "plan from a CSV file")
                                  : QString());
    else
        summaryLabel->setText(tr("%1 of %2 devices can take their new address; the rows in red "
                                 "are skipped")
                                  .arg(clean)
                                  .arg(rows.size()));
    applyButton->setEnabled(clean > 0);
}

void AddressPlanDialog::apply()
{
    if (thread != nullptr || clean == 0 || list == nullptr)
        return;
    if (list->isBusy() || list->isHeld()) {
        summaryLabel->setText(tr("Not applied: wait for the run under way to end"));
        return;
    }
    list->hold(true);
    applying = true;
    for (QWidget *input : std::initializer_list<QWidget *>{countButton, fileButton, firstEdit,
                                                           netmaskEdit, fileEdit, applyButton})
        input->setEnabled(false);
    stopButton->setEnabled(true);
    markNext(-1);
    results.assign(rows.size(), ApplyResult{});
    thread.reset(QThread::create([this, reach = list->reach()] {
        ApplyOptions options{};
        options.row_done = [](void *context, int index, const ApplyResult &result) {
            auto *dialog = static_cast<AddressPlanDialog *>(context);
            QMetaObject::invokeMethod(
                dialog, [dialog, index, result] { dialog->rowDone(index, result); },
                Qt::QueuedConnection);
        };
        options.stop_requested = [](void *context) {
            return static_cast<AddressPlanDialog *>(context)->stopRequested.load();
        };
        options.context = this;
        options.targets = reach.targets.data();
        options.target_count = static_cast<int>(reach.targets.size());
        options.source_port = reach.sourcePort;
        apply_plan(rows.data(), static_cast<int>(rows.size()), &options, results.data());
    }));
    connect(thread.get(), &QThread::finished, this, &AddressPlanDialog::applyEnded);
    thread->start();
}

void AddressPlanDialog::rowDone(int index, const ApplyResult &result)
{
    QTreeWidgetItem *item = table->topLevelItem(index);
    item->setText(Status, outcome_text(rows[index], result));
    paint(item, result.outcome == APPLY_DONE          ? doneColour
                : result.outcome == APPLY_NOT_REACHED ? QColor()
                                                      : problemColour);
    done += result.outcome == APPLY_DONE;
    markNext(index);
}

// The next row that will be set up says so.
void AddressPlanDialog::markNext(int after)
{
    if (stopRequested.load())
        return;
    for (size_t i = after + 1; i < rows.size(); ++i)
        if (rows[i].problems == 0 && rows[i].located) {
            table->topLevelItem(static_cast<int>(i))->setText(Status, tr("setting up…"));
            return;
        }
}

void AddressPlanDialog::stop()
{
    stopRequested.store(true);
    stopButton->setEnabled(false);
    summaryLabel->setText(tr("Stopping after the device under way"));
}

// While devices are being set up, closing stops after the one under way.
void AddressPlanDialog::reject()
{
    if (applying) {
        stop();
        return;
    }
    QDialog::reject();
}

void AddressPlanDialog::applyEnded()
{
    applying = false;
    stopButton->setEnabled(false);
    summaryLabel->setText(
        tr("%1 of %2 devices answer at their new address").arg(done).arg(rows.size()));
    if (list == nullptr)
        return;
    list->hold(false);
    // The new addresses, in place.
    list->refreshInPlace();
}
