// SPDX-License-Identifier: GPL-3.0-or-later
// After a run that no device answered: the likely reason in the status line,
// from the doctor's checks run off the GUI thread, and their full report
// behind a "Details…" button.
#pragma once

#include <QObject>
#include <QStringList>

class QHostView;
class QLabel;
class QPushButton;
class QThread;
class QWidget;

class EmptyRunHint : public QObject
{
    Q_OBJECT

  public:
    // details is hidden until a report is there, and again when a run starts.
    EmptyRunHint(QHostView *list, QLabel *statusLine, QPushButton *details, QWidget *parent);
    ~EmptyRunHint() override;

  private:
    void runEnded(int rows);
    void take(const QString &reason, const QStringList &report);
    void showReport();

    QHostView *list;
    QLabel *statusLine;
    QPushButton *details;
    QWidget *window;
    QThread *checks = nullptr; // while the checks run
    QStringList report;
};
