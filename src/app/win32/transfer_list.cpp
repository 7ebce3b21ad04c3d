// app/win32/transfer_list.cpp -- the transfer panel's ListView: columns, the virtual rows'
// cells, the progress bars, and redrawing only what changed.
#include "app/win32/transfer_list.h"

#include <algorithm>
#include <cmath>

#include "app/win32/dialog_support.h"

namespace kelvane::win32 {
namespace {

constexpr int kProgressColumn = static_cast<int>(app::PanelColumn::kProgress);
// Failed rows' text, and the bars' fill for rows that are going or went well and for failed ones.
constexpr COLORREF kFailedText = RGB(176, 0, 0);
constexpr COLORREF kBarFill = RGB(120, 196, 120);
constexpr COLORREF kFailedBarFill = RGB(232, 140, 140);
// Pixels between a progress cell's edges and its bar.
constexpr int kBarInset = 2;

bool SameRow(const app::PanelRow& a, const app::PanelRow& b) {
  return a.id == b.id && a.client == b.client && a.file == b.file && a.percent == b.percent &&
         a.rate == b.rate && a.time_left == b.time_left && a.result == b.result &&
         a.failed == b.failed && ProgressFill(1000, a.fraction) == ProgressFill(1000, b.fraction);
}

}  // namespace

RowRange ChangedRows(const std::vector<app::PanelRow>& before,
                     const std::vector<app::PanelRow>& after) {
  RowRange range;
  const size_t common = std::min(before.size(), after.size());
  for (size_t i = 0; i < common; ++i) {
    if (SameRow(before[i], after[i])) continue;
    if (range.first < 0) range.first = static_cast<int>(i);
    range.last = static_cast<int>(i);
  }
  if (before.size() != after.size()) {
    if (range.first < 0) range.first = static_cast<int>(common);
    range.last = static_cast<int>(std::max(before.size(), after.size())) - 1;
  }
  return range;
}

int ProgressFill(int width, double fraction) {
  if (width <= 0 || !(fraction > 0)) return 0;  // NaN fills nothing
  return static_cast<int>(std::lround(std::min(1.0, fraction) * width));
}

void TransferList::Bind(HWND list, HWND totals, const int* column_widths) {
  list_ = list;
  totals_ = totals;
  if (list_ == nullptr) return;
  ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  for (int column = 0; column < app::kPanelColumnCount; ++column) {
    LVCOLUMNA info = {};
    info.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
    info.fmt = column == kProgressColumn ? LVCFMT_CENTER : LVCFMT_LEFT;
    info.cx = column_widths[column];
    info.pszText = const_cast<char*>(app::PanelHeading(static_cast<app::PanelColumn>(column)));
    info.iSubItem = column;
    SendMessageA(list_, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&info));
  }
}

void TransferList::Show(std::vector<app::PanelRow> rows, const std::string& totals_text) {
  if (totals_ != nullptr && totals_text != totals_text_) {
    totals_text_ = totals_text;
    SetWindowTextA(totals_, totals_text_.c_str());
  }
  if (list_ == nullptr) return;
  const RowRange changed = ChangedRows(rows_, rows);
  const bool count_changed = rows.size() != rows_.size();
  rows_ = std::move(rows);
  if (count_changed) {
    // Keeps the scroll position and redraws only the rows named below.
    ListView_SetItemCountEx(list_, static_cast<int>(rows_.size()),
                            LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  }
  if (changed.first >= 0) ListView_RedrawItems(list_, changed.first, changed.last);
}

const std::string* TransferList::Cell(int item, int column) const {
  if (item < 0 || static_cast<size_t>(item) >= rows_.size() || column < 0 ||
      column >= app::kPanelColumnCount) {
    return nullptr;
  }
  return &app::PanelCell(rows_[static_cast<size_t>(item)], static_cast<app::PanelColumn>(column));
}

bool TransferList::OnNotify(const NMHDR& header, LRESULT* result) {
  if (list_ == nullptr || header.hwndFrom != list_) return false;
  switch (header.code) {
    case LVN_GETDISPINFOA: {
      auto& info = const_cast<NMLVDISPINFOA&>(reinterpret_cast<const NMLVDISPINFOA&>(header));
      if ((info.item.mask & LVIF_TEXT) != 0 && info.item.pszText != nullptr &&
          info.item.cchTextMax > 0) {
        const std::string* cell = Cell(info.item.iItem, info.item.iSubItem);
        lstrcpynA(info.item.pszText, cell != nullptr ? cell->c_str() : "", info.item.cchTextMax);
      }
      *result = 0;
      return true;
    }
    case LVN_GETDISPINFOW: {
      auto& info = const_cast<NMLVDISPINFOW&>(reinterpret_cast<const NMLVDISPINFOW&>(header));
      if ((info.item.mask & LVIF_TEXT) != 0 && info.item.pszText != nullptr &&
          info.item.cchTextMax > 0) {
        const std::string* cell = Cell(info.item.iItem, info.item.iSubItem);
        const std::wstring text = cell != nullptr ? WideText(*cell) : std::wstring();
        lstrcpynW(info.item.pszText, text.c_str(), info.item.cchTextMax);
      }
      *result = 0;
      return true;
    }
    case NM_CUSTOMDRAW:
      *result = CustomDraw(
          const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header)));
      return true;
    default:
      return false;
  }
}

LRESULT TransferList::CustomDraw(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const auto item = static_cast<int>(draw.nmcd.dwItemSpec);
      if (item < 0 || static_cast<size_t>(item) >= rows_.size()) return CDRF_DODEFAULT;
      const app::PanelRow& row = rows_[static_cast<size_t>(item)];
      if (draw.iSubItem == kProgressColumn) {
        DrawProgress(draw.nmcd.hdc, item, row);
        return CDRF_SKIPDEFAULT;
      }
      // Set for every cell: the list keeps the colours of the cell drawn before.
      draw.clrText = row.failed ? kFailedText : GetSysColor(COLOR_WINDOWTEXT);
      draw.clrTextBk = CLR_DEFAULT;
      return CDRF_NEWFONT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

void TransferList::DrawProgress(HDC dc, int item, const app::PanelRow& row) {
  RECT cell = {};
  cell.top = kProgressColumn;
  cell.left = LVIR_BOUNDS;
  if (!SendMessageA(list_, LVM_GETSUBITEMRECT, static_cast<WPARAM>(item),
                    reinterpret_cast<LPARAM>(&cell))) {
    return;
  }
  FillRect(dc, &cell, GetSysColorBrush(COLOR_WINDOW));
  RECT bar = cell;
  InflateRect(&bar, -kBarInset, -kBarInset);
  if (bar.right <= bar.left || bar.bottom <= bar.top) return;
  FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
  RECT inside = bar;
  InflateRect(&inside, -1, -1);
  RECT filled = inside;
  filled.right = inside.left + ProgressFill(inside.right - inside.left, row.fraction);
  if (filled.right > filled.left) {
    HBRUSH fill = CreateSolidBrush(row.failed ? kFailedBarFill : kBarFill);
    FillRect(dc, &filled, fill);
    DeleteObject(fill);
  }
  const int mode = SetBkMode(dc, TRANSPARENT);
  const COLORREF colour = SetTextColor(dc, row.failed ? kFailedText : GetSysColor(COLOR_WINDOWTEXT));
  DrawTextA(dc, row.percent.c_str(), static_cast<int>(row.percent.size()), &bar,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SetTextColor(dc, colour);
  SetBkMode(dc, mode);
}

}  // namespace kelvane::win32
