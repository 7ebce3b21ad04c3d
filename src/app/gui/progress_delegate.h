// app/gui/progress_delegate.h -- ProgressDelegate: draws the transfer panel's progress column as
// a progress bar with the percent on it (red for a failed transfer); other columns as usual.
//
// Window's thread only, as every delegate.
#pragma once

#include <QStyledItemDelegate>

namespace kelvane::gui {

class ProgressDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // |progress_column| is the column drawn as a bar; it reads TransferTableModel's roles.
  explicit ProgressDelegate(int progress_column, QObject* parent = nullptr);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

  // The bar's steps: the fraction is drawn in thousandths.
  static constexpr int kBarSteps = 1000;

 private:
  const int progress_column_;
};

}  // namespace kelvane::gui
