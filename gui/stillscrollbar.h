// SPDX-License-Identifier: GPL-3.0-or-later
// A scroll bar that repaints from its last picture while it looks the same.
// Qt 6.4 raises a list's scroll bars each time it lays out its rows, which
// repaints them though nothing on them changed, and the style draws a long
// bar with the help of other threads: a wait the window would feel each
// time rows join the list while thousands of devices answer.
#pragma once

#include <QPixmap>
#include <QScrollBar>
#include <QStyle>

class StillScrollBar : public QScrollBar
{
    Q_OBJECT

  public:
    using QScrollBar::QScrollBar;

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    struct Look {
        QSize size;
        qreal pixelRatio = 0;
        QStyle::State state;
        Qt::LayoutDirection direction = Qt::LeftToRight;
        qint64 palette = 0;
        int minimum = 0, maximum = 0, position = 0, pageStep = 0;
        bool operator==(const Look &) const = default;
    };

    QPixmap picture;
    Look pictured;
};
