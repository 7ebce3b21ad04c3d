// app/gui/transfer_table_model.cpp -- the panel rows' cells and roles, and the in-place update.
#include "app/gui/transfer_table_model.h"

#include <QBrush>
#include <QColor>
#include <algorithm>
#include <unordered_set>

namespace kelvane::gui {
namespace {

// A failed transfer's row: a pale red behind dark red text, in any palette.
const QColor kFailedBackground(0xF8, 0xD7, 0xD7);
const QColor kFailedText(0x9A, 0x10, 0x10);

int RowOf(const std::vector<app::PanelRow>& rows, uint64_t id, size_t from) {
  for (size_t i = from; i < rows.size(); ++i) {
    if (rows[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

TransferTableModel::TransferTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void TransferTableModel::Update(std::vector<app::PanelRow> rows) {
  // Rows whose transfer is gone (dropped from the record's finished ones), from the bottom up.
  std::unordered_set<uint64_t> wanted;
  for (const app::PanelRow& row : rows) wanted.insert(row.id);
  for (int i = static_cast<int>(rows_.size()) - 1; i >= 0; --i) {
    if (wanted.count(rows_[static_cast<size_t>(i)].id) != 0) continue;
    int first = i;
    while (first > 0 && wanted.count(rows_[static_cast<size_t>(first - 1)].id) == 0) --first;
    beginRemoveRows(QModelIndex(), first, i);
    rows_.erase(rows_.begin() + first, rows_.begin() + i + 1);
    endRemoveRows();
    i = first;
  }
  // Then each place in turn: the row already there, one moved up from further down (a transfer
  // that finished moves from the running ones to the top of the finished ones), or a new one.
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i < rows_.size() && rows_[i].id == rows[i].id) {
      rows_[i] = rows[i];
      continue;
    }
    const int found = RowOf(rows_, rows[i].id, i + 1);
    const int place = static_cast<int>(i);
    if (found >= 0) {
      beginMoveRows(QModelIndex(), found, found, QModelIndex(), place);
      app::PanelRow moved = std::move(rows_[static_cast<size_t>(found)]);
      rows_.erase(rows_.begin() + found);
      rows_.insert(rows_.begin() + place, std::move(moved));
      endMoveRows();
      rows_[i] = rows[i];
    } else {
      beginInsertRows(QModelIndex(), place, place);
      rows_.insert(rows_.begin() + place, rows[i]);
      endInsertRows();
    }
  }
  // What is left below the new rows is gone too (only when ids repeat, which they do not).
  if (rows_.size() > rows.size()) {
    beginRemoveRows(QModelIndex(), static_cast<int>(rows.size()),
                    static_cast<int>(rows_.size()) - 1);
    rows_.resize(rows.size());
    endRemoveRows();
  }
  if (!rows_.empty()) {
    emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1,
                                        app::kPanelColumnCount - 1));
  }
}

int TransferTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TransferTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : app::kPanelColumnCount;
}

QVariant TransferTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size()) ||
      index.column() >= app::kPanelColumnCount) {
    return {};
  }
  const app::PanelRow& row = rows_[static_cast<size_t>(index.row())];
  const auto column = static_cast<app::PanelColumn>(index.column());
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return QString::fromStdString(app::PanelCell(row, column));
    case kFractionRole:
      return row.fraction;
    case kFailedRole:
      return row.failed;
    case Qt::BackgroundRole:
      return row.failed ? QVariant(QBrush(kFailedBackground)) : QVariant();
    case Qt::ForegroundRole:
      return row.failed ? QVariant(QBrush(kFailedText)) : QVariant();
    case Qt::TextAlignmentRole:
      if (column == app::PanelColumn::kRate || column == app::PanelColumn::kTimeLeft) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      }
      return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant TransferTableModel::headerData(int section, Qt::Orientation orientation,
                                        int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= app::kPanelColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return QString::fromUtf8(app::PanelHeading(static_cast<app::PanelColumn>(section)));
}

}  // namespace kelvane::gui
