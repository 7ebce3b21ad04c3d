// app/gui/transfer_panel_view.cpp -- the panel's table, its columns and its refresh.
#include "app/gui/transfer_panel_view.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include "app/gui/progress_delegate.h"
#include "app/gui/transfer_table_model.h"
#include "app/transfer_panel.h"

namespace kelvane::gui {
namespace {

// The columns' starting widths, in widths of "0": an address, a path, the bar, "1234.5 MB/s"
// (loopback is that fast), "1:05:00", "failed: data connection lost". The file column takes
// what is left over.
constexpr int kColumnCharacters[app::kPanelColumnCount] = {13, 24, 11, 11, 8, 22};

}  // namespace

TransferPanelView::TransferPanelView(QWidget* parent)
    : QWidget(parent), model_(new TransferTableModel(this)), table_(new QTableView(this)),
      totals_(new QLabel(this)) {
  table_->setModel(model_);
  table_->setItemDelegateForColumn(static_cast<int>(app::PanelColumn::kProgress),
                                   new ProgressDelegate(static_cast<int>(app::PanelColumn::kProgress),
                                                        table_));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setAlternatingRowColors(false);
  table_->setShowGrid(false);
  table_->setWordWrap(false);
  table_->setTextElideMode(Qt::ElideMiddle);
  table_->verticalHeader()->hide();
  const QFontMetrics metrics(font());
  table_->verticalHeader()->setDefaultSectionSize(metrics.height() + 6);
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  QHeaderView* header = table_->horizontalHeader();
  header->setHighlightSections(false);
  for (int column = 0; column < app::kPanelColumnCount; ++column) {
    header->resizeSection(column, metrics.horizontalAdvance(QLatin1Char('0')) *
                                      kColumnCharacters[column]);
  }
  header->setSectionResizeMode(static_cast<int>(app::PanelColumn::kFile), QHeaderView::Stretch);

  totals_->setText(QString::fromStdString(app::PanelTotalsText({})));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addWidget(table_, 1);
  layout->addWidget(totals_);

  timer_.setInterval(static_cast<int>(app::kPanelRefreshInterval.count()));
  connect(&timer_, &QTimer::timeout, this, &TransferPanelView::Refresh);
}

void TransferPanelView::SetRecord(const ftp::TransferRecord* record) {
  record_ = record;
  if (record_ == nullptr) {
    timer_.stop();
    return;
  }
  Refresh();
  timer_.start();
}

void TransferPanelView::Refresh() {
  if (record_ == nullptr) return;
  const ftp::TransferSnapshot snapshot = record_->Snapshot();
  model_->Update(app::PanelRows(snapshot));
  const QString totals = QString::fromStdString(app::PanelTotalsText(snapshot.totals));
  if (totals_->text() != totals) totals_->setText(totals);
}

}  // namespace kelvane::gui
