// SPDX-License-Identifier: GPL-3.0-or-later
// "Batch options…": how many uploads run at once, and how long the devices
// have to answer again after taking an image. The window keeps both.
#pragma once

#include <QDialog>

class QSpinBox;

class BatchOptions : public QDialog
{
    Q_OBJECT

  public:
    explicit BatchOptions(QWidget *parent = nullptr);

    QSpinBox *parallelBox() const { return parallel; }
    QSpinBox *verifyBox() const { return verify; }

  private:
    QSpinBox *parallel;
    QSpinBox *verify;
};
