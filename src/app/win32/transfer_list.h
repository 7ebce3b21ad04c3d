// app/win32/transfer_list.h -- TransferList: the main window's transfer panel, a comctl32
// ListView in report view under the log, and the totals line under it. The list is virtual
// (LVS_OWNERDATA): the rows live here and the control asks for the cells it draws. The
// progress column is drawn by NM_CUSTOMDRAW as a bar with the percent over it; failed rows are
// drawn in red. Show is given the record's rows a few times a second and redraws only the rows
// that changed, so the list neither flickers nor loses the user's scroll position.
//
// Window's thread only.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

#include "app/transfer_panel.h"

namespace kelvane::win32 {

// The rows from |first| to |last| (both included) that differ between |before| and |after|,
// counting rows present in only one of them; first is -1 when nothing differs.
struct RowRange {
  int first = -1;
  int last = -1;
};
RowRange ChangedRows(const std::vector<app::PanelRow>& before,
                     const std::vector<app::PanelRow>& after);

// The width in pixels of the filled part of a progress bar |width| pixels wide at |fraction|
// (clamped to 0 .. 1), rounded to the nearest pixel.
int ProgressFill(int width, double fraction);

class TransferList {
 public:
  // Binds the dialog's ListView |list| and its totals line |totals|: report view with the
  // panel's columns, |column_widths| in pixels (kPanelColumnCount of them).
  void Bind(HWND list, HWND totals, const int* column_widths);
  // The rows and the totals line to show now.
  void Show(std::vector<app::PanelRow> rows, const std::string& totals_text);
  // A WM_NOTIFY from the list: true, with the dialog's answer in |*result|, for the cells the
  // list asks for (LVN_GETDISPINFO) and its custom drawing (NM_CUSTOMDRAW).
  bool OnNotify(const NMHDR& header, LRESULT* result);

  const std::vector<app::PanelRow>& rows() const { return rows_; }

 private:
  const std::string* Cell(int item, int column) const;
  LRESULT CustomDraw(NMLVCUSTOMDRAW& draw);
  void DrawProgress(HDC dc, int item, const app::PanelRow& row);

  HWND list_ = nullptr;
  HWND totals_ = nullptr;
  std::vector<app::PanelRow> rows_;
  std::string totals_text_;
};

}  // namespace kelvane::win32
