// app/gui/progress_delegate.cpp -- the progress column's bar.
#include "app/gui/progress_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>
#include <cmath>

#include "app/gui/transfer_table_model.h"

namespace kelvane::gui {
namespace {

const QColor kFailedBar(0xC0, 0x30, 0x30);

}  // namespace

ProgressDelegate::ProgressDelegate(int progress_column, QObject* parent)
    : QStyledItemDelegate(parent), progress_column_(progress_column) {}

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  if (index.column() != progress_column_) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  // The cell's background and selection first, without its text: the bar carries the text.
  QStyleOptionViewItem cell = option;
  initStyleOption(&cell, index);
  cell.text.clear();
  QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, option.widget);

  const double fraction = std::clamp(index.data(TransferTableModel::kFractionRole).toDouble(), 0.0, 1.0);
  QStyleOptionProgressBar bar;
  bar.palette = option.palette;
  bar.direction = option.direction;
  bar.fontMetrics = option.fontMetrics;
  bar.rect = option.rect.adjusted(2, 2, -2, -2);
  bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
  bar.minimum = 0;
  bar.maximum = kBarSteps;
  bar.progress = static_cast<int>(std::lround(fraction * kBarSteps));
  bar.text = index.data(Qt::DisplayRole).toString();
  bar.textVisible = true;
  bar.textAlignment = Qt::AlignCenter;
  if (index.data(TransferTableModel::kFailedRole).toBool()) {
    bar.palette.setColor(QPalette::Highlight, kFailedBar);
  }
  style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
}

}  // namespace kelvane::gui
