// app/gui/transfer_panel_view.h -- TransferPanelView: the main window's transfer panel, a table
// of the transfers in progress and the latest finished ones (client, file, a progress bar with
// percent, rate, time left, result) over a line of totals.
//
// Window's thread only. While a record is set, a timer on the window's thread takes its
// Snapshot every app::kPanelRefreshInterval and updates the table in place; nothing is done
// per send, and the connection threads never wait for the window.
#pragma once

#include <QTimer>
#include <QWidget>

#include "ftp/transfer_record.h"

class QLabel;
class QTableView;

namespace kelvane::gui {

class TransferTableModel;

class TransferPanelView : public QWidget {
  Q_OBJECT

 public:
  explicit TransferPanelView(QWidget* parent = nullptr);

  // Polls |record| (not owned; it must outlive its use here) from now on, at once and then
  // every refresh interval; null stops polling and leaves the rows as they are.
  void SetRecord(const ftp::TransferRecord* record);
  // Takes a snapshot and shows it now.
  void Refresh();

  QTableView* table() const { return table_; }
  TransferTableModel* model() const { return model_; }
  QLabel* totals_label() const { return totals_; }
  bool polling() const { return timer_.isActive(); }

 private:
  const ftp::TransferRecord* record_ = nullptr;
  TransferTableModel* model_;
  QTableView* table_;
  QLabel* totals_;
  QTimer timer_;
};

}  // namespace kelvane::gui
