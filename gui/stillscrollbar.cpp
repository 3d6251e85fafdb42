// SPDX-License-Identifier: GPL-3.0-or-later
#include "stillscrollbar.h"

#include <QPainter>
#include <QStyleOptionSlider>

StillScrollBar::Look StillScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {size(),           devicePixelRatio(),        option.state,
            option.direction, option.palette.cacheKey(), option.minimum,
            option.maximum,   option.sliderPosition,     option.pageStep};
}

void StillScrollBar::paintEvent(QPaintEvent *event)
{
    // Under the mouse, which part is lit or pressed is the bar's own to know.
    if (underMouse() || isSliderDown()) {
        picture = QPixmap();
        QScrollBar::paintEvent(event);
        return;
    }
    const Look now = look();
    if (picture.isNull() || now != pictured) {
        picture = QPixmap(size() * now.pixelRatio);
        picture.setDevicePixelRatio(now.pixelRatio);
        picture.fill(Qt::transparent);
        QStyleOptionSlider option;
        initStyleOption(&option);
        option.subControls = QStyle::SC_All;
        QPainter painter(&picture);
        style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
        pictured = now;
    }
    QPainter(this).drawPixmap(0, 0, picture);
}
