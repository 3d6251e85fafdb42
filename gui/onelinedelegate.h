// SPDX-License-Identifier: GPL-3.0-or-later
// Draws each cell of the host list as the style does, but its text as one
// line: the style lays a cell's text out several times per repaint, and the
// list is repainted each time rows join it, thousands of devices at a time.
#pragma once

#include <QStyledItemDelegate>

class OneLineDelegate : public QStyledItemDelegate
{
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
