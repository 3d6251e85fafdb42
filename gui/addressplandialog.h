// SPDX-License-Identifier: GPL-3.0-or-later
// "Assign addresses…": a plan that gives each device an address, counted up
// from a first address for the selected rows or read from a CSV file, shown
// with every row's problems before anything is sent; "Apply" then sets the
// devices up one at a time off the GUI thread, each confirmed at its new
// address, and the list is refreshed.
#pragma once

#include "address_plan.h"
#include "apply_plan.h"

#include <QDialog>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <memory>
#include <vector>

class QHostView;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

class AddressPlanDialog : public QDialog
{
    Q_OBJECT

  public:
    // The counted plan is for the rows selected in list now.
    explicit AddressPlanDialog(QHostView *list, QWidget *parent = nullptr);
    // Stops after the device under way, and waits for it.
    ~AddressPlanDialog() override;

    enum Column { Mac, Hostname, Now, New, Status, ColumnCount };

  public slots:
    void replan();
    void apply();
    // No device after the one under way is set up.
    void stop();
    void reject() override;

  private:
    void chooseFile();
    void showPlan(const QStringList &errors);
    void rowDone(int index, const ApplyResult &result);
    void markNext(int after);
    void applyEnded();

    QPointer<QHostView> list;
    std::vector<ether_addr> macs;
    QRadioButton *countButton;
    QRadioButton *fileButton;
    QLineEdit *firstEdit;
    QLineEdit *netmaskEdit;
    QLineEdit *fileEdit;
    QLabel *errorsLabel;
    QTreeWidget *table;
    QLabel *summaryLabel;
    QPushButton *applyButton;
    QPushButton *stopButton;
    // The plan as checked; the applying thread reads it, so it stays as it
    // is from "Apply" on.
    std::vector<PlanRow> rows;
    int clean = 0;
    std::vector<ApplyResult> results;
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<QThread> thread;
    bool applying = false;
    int done = 0;
};
