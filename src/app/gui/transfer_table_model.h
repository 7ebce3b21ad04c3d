// app/gui/transfer_table_model.h -- TransferTableModel: the transfer panel's rows as a Qt table
// model, one row per app::PanelRow and one column per app::PanelColumn.
//
// Window's thread only. Update takes each new set of rows and changes the model in place, row
// by row and keyed by the transfer's id (moving, inserting and removing only what changed), so
// that a view keeps its selection and its scroll position across refreshes.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "app/transfer_panel.h"

namespace kelvane::gui {

class TransferTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Beside the display text: the progress column's fraction (double, 0 to 1), and whether the
  // row's transfer failed (bool), for the progress delegate.
  static constexpr int kFractionRole = Qt::UserRole + 1;
  static constexpr int kFailedRole = Qt::UserRole + 2;

  explicit TransferTableModel(QObject* parent = nullptr);

  // Makes the model show |rows| in their order.
  void Update(std::vector<app::PanelRow> rows);
  const std::vector<app::PanelRow>& rows() const { return rows_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<app::PanelRow> rows_;
};

}  // namespace kelvane::gui
