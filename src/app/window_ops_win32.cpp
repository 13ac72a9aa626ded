// The window layer on Win32, the operations: each carried out on the window thread, on the window or
// the control named.
#include "app/window_layer_internal_win32.h"

#include <commctrl.h>

#include "common/codepage_win32.h"

namespace ui {

using namespace layer;

HWND windowHandle(Window w) {
  return onWindow<HWND>([&] { return rec(w).hwnd; });
}

HWND controlHandle(Window w, const std::string& control) {
  return onWindow<HWND>([&]() -> HWND {
    ControlRec* c = findRec(w, control);
    return c ? c->hwnd : nullptr;
  });
}

HWND pageHandle(int page) {
  return onWindow<HWND>([&]() -> HWND { return page >= 0 && page < kPages ? layerState().pages[page] : nullptr; });
}

void setWindowVisible(Window w, bool visible) {
  runOnWindowThread([&] {
    if (HWND h = rec(w).hwnd) ShowWindow(h, visible ? SW_SHOW : SW_HIDE);
  });
}

bool windowVisible(Window w) {
  return onWindow<bool>([&] { return rec(w).hwnd && IsWindowVisible(rec(w).hwnd); });
}

void setWindowState(Window w, WindowCommand command) {
  runOnWindowThread([&] {
    HWND h = rec(w).hwnd;
    if (!h || !IsWindowVisible(h)) return;
    switch (command) {
      case WindowCommand::ShowNormal:
        ShowWindow(h, SW_SHOWNORMAL);
        break;
      case WindowCommand::RestoreCentred: {
        if (IsIconic(h) || IsZoomed(h)) ShowWindow(h, SW_RESTORE);
        RECT r;
        GetWindowRect(h, &r);
        const int width = r.right - r.left, height = r.bottom - r.top;
        SetWindowPos(h, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        break;
      }
      case WindowCommand::Minimise:
        ShowWindow(h, SW_MINIMIZE);
        break;
      case WindowCommand::Maximise:
        ShowWindow(h, SW_MAXIMIZE);
        break;
    }
  });
}

WindowState windowState(Window w) {
  return onWindow<WindowState>([&] {
    HWND h = rec(w).hwnd;
    if (!h) return WindowState::Normal;
    return IsIconic(h) ? WindowState::Minimised : IsZoomed(h) ? WindowState::Maximised : WindowState::Normal;
  });
}

void setVisible(Window w, const std::string& control, bool visible) {
  runOnWindowThread([&] {
    if (ControlRec* c = findRec(w, control)) ShowWindow(c->hwnd, visible ? SW_SHOW : SW_HIDE);
  });
}

bool isVisible(Window w, const std::string& control) {
  // The control's own flag: a control on a page that is not shown still counts as visible.
  return onWindow<bool>([&] {
    ControlRec* c = findRec(w, control);
    return c && (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  });
}

void setEnabled(Window w, const std::string& control, bool enabled) {
  runOnWindowThread([&] {
    if (ControlRec* c = findRec(w, control)) EnableWindow(c->hwnd, enabled);
  });
}

bool isEnabled(Window w, const std::string& control) {
  return onWindow<bool>([&] {
    ControlRec* c = findRec(w, control);
    return c && IsWindowEnabled(c->hwnd);
  });
}

void setText(Window w, const std::string& control, const std::string& text) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, control);
    if (!c || c->def->kind == Kind::List || c->def->kind == Kind::Tab || c->def->kind == Kind::Combo) return;
    layerState().programWriting = true;
    SetWindowTextW(c->hwnd, codepage::gbkToWide(text).c_str());
    layerState().programWriting = false;
  });
}

std::string text(Window w, const std::string& control) {
  return onWindow<std::string>([&]() -> std::string {
    ControlRec* c = findRec(w, control);
    if (!c) return {};
    if (c->def->kind == Kind::Combo) {
      int sel = static_cast<int>(SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0));
      if (sel < 0) return {};
      std::wstring t(SendMessageW(c->hwnd, CB_GETLBTEXTLEN, sel, 0) + 1, L'\0');
      int n = static_cast<int>(SendMessageW(c->hwnd, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(t.data())));
      t.resize(n > 0 ? n : 0);
      return codepage::wideToGbk(t);
    }
    if (c->def->kind == Kind::List || c->def->kind == Kind::Tab) return {};
    std::wstring t(GetWindowTextLengthW(c->hwnd) + 1, L'\0');
    t.resize(GetWindowTextW(c->hwnd, t.data(), static_cast<int>(t.size())));
    return codepage::wideToGbk(t);
  });
}

void setInputMode(Window w, const std::string& control, InputMode mode) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, control, Kind::Edit)) applyInputMode(h, mode);
  });
}

InputMode inputMode(Window w, const std::string& control) {
  return onWindow<InputMode>([&] {
    HWND h = findKind(w, control, Kind::Edit);
    const auto& modes = layerState().inputModes;
    auto it = modes.find(h);
    return h && it != modes.end() ? it->second : InputMode::Normal;
  });
}

void setChecked(Window w, const std::string& control, bool checked) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, control, Kind::CheckBox))
      SendMessageW(h, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  });
}

bool isChecked(Window w, const std::string& control) {
  return onWindow<bool>([&] {
    HWND h = findKind(w, control, Kind::CheckBox);
    return h && SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED;
  });
}

void setCurrentIndex(Window w, const std::string& control, int index) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, control);
    if (!c) return;
    if (c->def->kind == Kind::Combo) {
      // An index outside the items clears the selection, as Windows documents it (Wine keeps the old).
      const int count = static_cast<int>(SendMessageW(c->hwnd, CB_GETCOUNT, 0, 0));
      SendMessageW(c->hwnd, CB_SETCURSEL, index >= 0 && index < count ? index : -1, 0);
    } else if (c->def->kind == Kind::Tab) {
      if (index < 0 || index >= TabCtrl_GetItemCount(c->hwnd)) return;
      TabCtrl_SetCurSel(c->hwnd, index);
      showPage(index);
    }
  });
}

int currentIndex(Window w, const std::string& control) {
  return onWindow<int>([&] {
    ControlRec* c = findRec(w, control);
    if (!c) return -1;
    if (c->def->kind == Kind::Combo) return static_cast<int>(SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0));
    if (c->def->kind == Kind::Tab) return TabCtrl_GetCurSel(c->hwnd);
    return -1;
  });
}

int rowCount(Window w, const std::string& list) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    return h ? ListView_GetItemCount(h) : 0;
  });
}

int columnCount(Window w, const std::string& list) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    return h ? Header_GetItemCount(ListView_GetHeader(h)) : 0;
  });
}

int appendRow(Window w, const std::string& list, int icon) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    return h ? insertRow(h, icon) : -1;
  });
}

int rowIcon(Window w, const std::string& list, int row) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    if (!h || row < 0 || row >= ListView_GetItemCount(h)) return -1;
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageW(h, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  });
}

void setCell(Window w, const std::string& list, int row, int column, const std::string& text) {
  runOnWindowThread([&] {
    HWND h = findKind(w, list, Kind::List);
    if (h && holdsCell(h, row, column)) writeCell(h, row, column, text);
  });
}

std::string cell(Window w, const std::string& list, int row, int column) {
  return onWindow<std::string>([&]() -> std::string {
    HWND h = findKind(w, list, Kind::List);
    if (!h || !holdsCell(h, row, column)) return {};
    // The list view copies at most the buffer's size and says how much it copied: grow until it fits.
    for (int size = 256;; size *= 4) {
      std::wstring buffer(size, L'\0');
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = buffer.data();
      item.cchTextMax = size;
      int n = static_cast<int>(SendMessageW(h, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)));
      if (n < size - 1 || size > (1 << 24)) {
        buffer.resize(n);
        return codepage::wideToGbk(buffer);
      }
    }
  });
}

void clearRows(Window w, const std::string& list) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, list, Kind::List)) ListView_DeleteAllItems(h);
  });
}

void setRedraw(Window w, const std::string& list, bool redraw) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, list);
    if (!c || c->def->kind != Kind::List) return;
    c->redrawHolds += redraw ? -1 : 1;
    if (!redraw && c->redrawHolds == 1) SendMessageW(c->hwnd, WM_SETREDRAW, FALSE, 0);
    if (redraw && c->redrawHolds == 0) {
      SendMessageW(c->hwnd, WM_SETREDRAW, TRUE, 0);
      InvalidateRect(c->hwnd, nullptr, TRUE);
    }
  });
}

}  // namespace ui
