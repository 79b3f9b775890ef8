#include "main/win32/source_list.h"

#include <algorithm>
#include <array>
#include <string>

#include "main/layout.h"
#include "main/win32/win32_ui.h"

namespace dalvento::win32 {

namespace {

constexpr int COLUMNS = static_cast<int>(LIST_COLUMNS.size());

// What a cell and a header take beside their text, logical pixels: a header's margins are wider,
// and a header cut short shows "Stat..." instead of "Status".
constexpr int CELL_PADDING = 12;
constexpr int HEADER_PADDING = 20;

// A column's header text, device pixels wide, with its padding.
int header_width(HWND list, int column, int dpi) {
    wchar_t text[64] = {};
    LVCOLUMNW header{};
    header.mask = LVCF_TEXT;
    header.pszText = text;
    header.cchTextMax = 64;
    if (!SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column),
                      reinterpret_cast<LPARAM>(&header))) {
        return 0;
    }
    return static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0,
                                         reinterpret_cast<LPARAM>(text))) +
           scale(HEADER_PADDING, dpi);
}

// A cell's full text when the list's width cuts it; empty when it shows whole.
std::wstring cut_cell_text(HWND list, int row, int column, int padding) {
    wchar_t buffer[1024] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 1024;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    if (buffer[0] == L'\0') return {};
    // The first column's bounds are the whole row's; its label is the cell.
    RECT cell{};
    cell.top = column;
    cell.left = column == 0 ? LVIR_LABEL : LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row),
                      reinterpret_cast<LPARAM>(&cell))) {
        return {};
    }
    RECT client{};
    GetClientRect(list, &client);
    const LONG shown = std::min(cell.right, client.right) - std::max(cell.left, client.left);
    const LRESULT needed =
        SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(buffer)) + padding;
    return needed > shown ? std::wstring(buffer) : std::wstring();
}

}  // namespace

void prepare_source_list(HWND list, SourceKind kind, int dpi) {
    const std::array<int, 6> widths = list_column_widths(dpi);
    // Info tips: the full text of a cell that the list's width cuts.
    constexpr DWORD EXTENDED =
        LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, EXTENDED, EXTENDED);
    for (size_t c = 0; c < LIST_COLUMNS.size(); ++c) {
        std::wstring header = wide(c == 0 ? FIRST_COLUMN_HEADERS[static_cast<size_t>(kind)]
                                          : LIST_COLUMNS[c].header);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = header.data();
        column.cx = widths[c];
        column.iSubItem = static_cast<int>(c);
        SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
    }
    SetWindowLongPtrW(list, GWL_STYLE, GetWindowLongPtrW(list, GWL_STYLE) & ~LVS_NOCOLUMNHEADER);
    size_source_columns(list, dpi, true);
}

void fill_source_list(HWND list, const std::vector<ListRow>& rows, int dpi) {
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    int row_index = 0;
    for (const ListRow& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            std::wstring text = wide(row[c]);
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = row_index;
            item.iSubItem = static_cast<int>(c);
            item.pszText = text.data();
            SendMessageW(list, c == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW,
                         static_cast<WPARAM>(row_index), reinterpret_cast<LPARAM>(&item));
        }
        ++row_index;
    }
    size_source_columns(list, dpi, false);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void size_source_columns(HWND list, int dpi, bool all) {
    const std::array<int, 6> widths = list_column_widths(dpi);
    const bool empty = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0;
    for (int c = 0; c < COLUMNS; ++c) {
        if (all && (c < 4 || empty)) {
            // A larger message font can make a header wider than the design's column.
            SendMessageW(list, LVM_SETCOLUMNWIDTH, c,
                         std::max(widths[static_cast<size_t>(c)], header_width(list, c, dpi)));
        }
    }
    // An empty list has nothing to size them to: they keep their widths.
    if (empty) return;
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 4, LVSCW_AUTOSIZE);
    const int status_header = header_width(list, 4, dpi);
    if (SendMessageW(list, LVM_GETCOLUMNWIDTH, 4, 0) < status_header) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, 4, status_header);
    }
    // On the last column "use the header" fills what is left of the list instead, which can be
    // narrower than the longest path: the wider of the two.
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, LVSCW_AUTOSIZE);
    const LRESULT contents = SendMessageW(list, LVM_GETCOLUMNWIDTH, 5, 0);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, LVSCW_AUTOSIZE_USEHEADER);
    if (SendMessageW(list, LVM_GETCOLUMNWIDTH, 5, 0) < contents) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, contents);
    }
}

void fill_info_tip(NMLVGETINFOTIPW& tip, int dpi) {
    HWND list = tip.hdr.hwndFrom;
    if (tip.iItem < 0 || !tip.pszText || tip.cchTextMax <= 0) return;
    // The cell under the pointer; every cut cell of the row where the pointer names none.
    LVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(list, &hit.pt);
    int column = -1;
    if (SendMessageW(list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) >= 0 &&
        hit.iItem == tip.iItem) {
        column = hit.iSubItem;
    }
    std::wstring text;
    for (int c = 0; c < COLUMNS; ++c) {
        if (column >= 0 && c != column) continue;
        const std::wstring cell = cut_cell_text(list, tip.iItem, c, scale(CELL_PADDING, dpi));
        if (cell.empty()) continue;
        if (!text.empty()) text += L"\r\n";
        text += cell;
    }
    const size_t room = static_cast<size_t>(tip.cchTextMax) - 1;
    text.resize(std::min(text.size(), room));
    std::copy(text.begin(), text.end(), tip.pszText);
    tip.pszText[text.size()] = L'\0';
}

}  // namespace dalvento::win32
