// SPDX-License-Identifier: GPL-3.0-or-later
#include "onelinedelegate.h"

#include <QApplication>
#include <QPainter>
#include <utility>

void OneLineDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                            const QModelIndex &index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QWidget *widget = cell.widget;
    const QStyle *style = widget != nullptr ? widget->style() : QApplication::style();
    // Without its text, the style draws the rest (background, selection, icon
    // and focus) and places the text's room as it would with it.
    const QString text = std::exchange(cell.text, QString());
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
    if (text.isEmpty())
        return;
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect room = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, widget)
                           .adjusted(margin, 0, -margin, 0);
    QPalette::ColorGroup group = QPalette::Disabled;
    if (cell.state & QStyle::State_Enabled)
        group = cell.state & QStyle::State_Active ? QPalette::Normal : QPalette::Inactive;
    const bool selected = cell.state & QStyle::State_Selected;
    painter->save();
    painter->setFont(cell.font);
    // Right to left, the text keeps to the right and its ellipsis to the left.
    painter->setLayoutDirection(cell.direction);
    painter->setPen(
        cell.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(room, static_cast<int>(cell.displayAlignment) | Qt::TextSingleLine,
                      cell.fontMetrics.elidedText(text, cell.textElideMode, room.width()));
    painter->restore();
}
