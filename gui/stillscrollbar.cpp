// SPDX-License-Identifier: GPL-3.0-or-later
#include "stillscrollbar.h"

#include <QPainter>
#include <QStyleOptionSlider>

void StillScrollBar::paintEvent(QPaintEvent *event)
{
    // Under the mouse, which part is lit or pressed is the bar's own to know.
    if (underMouse() || isSliderDown()) {
        picture = QPixmap();
        QScrollBar::paintEvent(event);
        return;
    }
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.subControls = QStyle::SC_All;
    const Look now{size(),           devicePixelRatio(),        option.state,
                   option.direction, option.palette.cacheKey(), option.minimum,
                   option.maximum,   option.sliderPosition,     option.pageStep};
    if (picture.isNull() || now != pictured) {
        picture = QPixmap(size() * now.pixelRatio);
        picture.setDevicePixelRatio(now.pixelRatio);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
        pictured = now;
    }
    QPainter(this).drawPixmap(0, 0, picture);
}
