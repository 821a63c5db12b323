#include "ui/dialog_win.h"

#include <windowsx.h>

namespace ui {

namespace {
HINSTANCE g_templateModule = nullptr;
}  // namespace

HINSTANCE TemplateModule() {
  return g_templateModule ? g_templateModule : ::GetModuleHandleW(nullptr);
}

void SetTemplateModule(HINSTANCE module) { g_templateModule = module; }

HICON LoadAppIcon(int id, bool small) {
  int cx = ::GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
  int cy = ::GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
  return static_cast<HICON>(
      ::LoadImageW(TemplateModule(), MAKEINTRESOURCEW(id), IMAGE_ICON, cx, cy, LR_SHARED));
}

Dialog::~Dialog() {
  if (hwnd_ && !modal_) ::DestroyWindow(hwnd_);
}

INT_PTR Dialog::DoModal(HWND owner) {
  modal_ = true;
  result_ = ::DialogBoxParamW(TemplateModule(), MAKEINTRESOURCEW(templateId_), owner, &Dialog::Proc,
                              reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
  return result_;
}

HWND Dialog::Create(HWND parent) {
  if (hwnd_) return hwnd_;
  modal_ = false;
  result_ = 0;
  HWND h = ::CreateDialogParamW(TemplateModule(), MAKEINTRESOURCEW(templateId_), parent,
                                &Dialog::Proc, reinterpret_cast<LPARAM>(this));
  if (!h) hwnd_ = nullptr;
  return h;
}

void Dialog::Destroy() {
  if (hwnd_ && !modal_) ::DestroyWindow(hwnd_);
}

void Dialog::EndDialog(INT_PTR result) {
  result_ = result;
  if (!hwnd_) return;
  if (modal_)
    ::EndDialog(hwnd_, result);
  else
    ::DestroyWindow(hwnd_);
}

INT_PTR CALLBACK Dialog::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  Dialog* self = nullptr;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lp);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;
  INT_PTR r = self->Dispatch(msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  return r;
}

// Handlers that return a value through DWLP_MSGRESULT.
static INT_PTR Answer(HWND hwnd, LRESULT value) {
  ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, value);
  return TRUE;
}

INT_PTR Dialog::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      return OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp)) ? TRUE : FALSE;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (!OnNotify(reinterpret_cast<NMHDR*>(lp), &result)) return FALSE;
      return Answer(hwnd_, result);
    }
    case WM_TIMER:
      OnTimer(static_cast<UINT_PTR>(wp));
      return TRUE;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      return OnDrawItem(static_cast<int>(wp), item) ? Answer(hwnd_, TRUE) : FALSE;
    }
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wp), LOWORD(lp), HIWORD(lp))) return Answer(hwnd_, TRUE);
      return FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      // One of the messages whose result is the dialog procedure's return.
      return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return TRUE;
    default:
      break;
  }
  LRESULT result = 0;
  if (!OnMessage(msg, wp, lp, &result)) return FALSE;
  // These return their result directly rather than through DWLP_MSGRESULT.
  switch (msg) {
    case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN: case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: case WM_COMPAREITEM: case WM_VKEYTOITEM:
    case WM_CHARTOITEM: case WM_INITDIALOG:
      return static_cast<INT_PTR>(result);
    default:
      return Answer(hwnd_, result);
  }
}

bool Dialog::OnCommand(int id, int code, HWND control) {
  (void)code;
  (void)control;
  if (id == IDOK) {
    OnOk();
    return true;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

bool Dialog::PaintIconWhenMinimised(HICON icon) {
  if (!::IsIconic(hwnd_)) return false;
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(hwnd_, &ps);
  ::SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc;
  ::GetClientRect(hwnd_, &rc);
  int cx = ::GetSystemMetrics(SM_CXICON);
  int cy = ::GetSystemMetrics(SM_CYICON);
  ::DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, icon);
  ::EndPaint(hwnd_, &ps);
  return true;
}

void Dialog::SetIcon(HICON icon) {
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void Dialog::SetVisible(bool visible, bool activate) {
  ::ShowWindow(hwnd_, visible ? (activate ? SW_SHOW : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void Dialog::MoveTo(const RECT& rect, bool repaint) {
  ::MoveWindow(hwnd_, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               repaint ? TRUE : FALSE);
}

RECT Dialog::ItemRect(int id) const {
  RECT rc = {0, 0, 0, 0};
  HWND item = Item(id);
  if (!item) return rc;
  ::GetWindowRect(item, &rc);
  ::MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rc), 2);
  return rc;
}

bool Dialog::SetItemText(int id, const wchar_t* text) {
  return ::SetDlgItemTextW(hwnd_, id, text ? text : L"") != FALSE;
}

size_t Dialog::GetItemText(int id, wchar_t* buf, size_t cap) const {
  if (!buf || cap == 0) return 0;
  buf[0] = L'\0';
  HWND item = Item(id);
  if (!item) return 0;
  // WM_GETTEXT cuts and terminates within the buffer it is given.
  LRESULT n = ::SendMessageW(item, WM_GETTEXT, cap, reinterpret_cast<LPARAM>(buf));
  buf[cap - 1] = L'\0';
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::wstring Dialog::ItemText(int id) const {
  HWND item = Item(id);
  if (!item) return std::wstring();
  LRESULT len = ::SendMessageW(item, WM_GETTEXTLENGTH, 0, 0);
  std::wstring s(static_cast<size_t>(len > 0 ? len : 0) + 1, L'\0');
  LRESULT n = ::SendMessageW(item, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(&s[0]));
  s.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return s;
}

void Dialog::Enable(int id, bool enable) {
  if (HWND item = Item(id)) ::EnableWindow(item, enable ? TRUE : FALSE);
}

void Dialog::Show(int id, bool show) {
  if (HWND item = Item(id)) ::ShowWindow(item, show ? SW_SHOW : SW_HIDE);
}

bool Dialog::IsChecked(int id) const {
  return ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Dialog::SetChecked(int id, bool checked) {
  ::SendMessageW(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Dialog::CheckRadio(int first, int last, int id) {
  for (int i = first; i <= last; ++i) SetChecked(i, i == id);
}

// ---- list view ----

int Dialog::LvInsertColumn(int id, int index, const wchar_t* heading, int width, int format) {
  LVCOLUMNW col = {};
  col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  col.fmt = format;
  col.cx = width;
  col.pszText = const_cast<wchar_t*>(heading ? heading : L"");
  col.iSubItem = index;
  return static_cast<int>(
      ::SendMessageW(Item(id), LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&col)));
}

void Dialog::LvSetExtendedStyle(int id, DWORD styles) {
  ::SendMessageW(Item(id), LVM_SETEXTENDEDLISTVIEWSTYLE, styles, styles);
}

int Dialog::LvInsertRow(int id, int row, const wchar_t* text) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT;
  item.iItem = row >= 0 ? row : LvRowCount(id);
  item.pszText = const_cast<wchar_t*>(text ? text : L"");
  return static_cast<int>(
      ::SendMessageW(Item(id), LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

bool Dialog::LvSetCell(int id, int row, int column, const wchar_t* text) {
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text ? text : L"");
  return ::SendMessageW(Item(id), LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)) != 0;
}

int Dialog::LvRowCount(int id) const {
  HWND list = Item(id);
  return list ? static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) : 0;
}

size_t Dialog::LvCellText(int id, int row, int column, wchar_t* buf, size_t cap) const {
  if (!buf || cap == 0) return 0;
  buf[0] = L'\0';
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = buf;
  item.cchTextMax = static_cast<int>(cap);
  LRESULT n = ::SendMessageW(Item(id), LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  buf[cap - 1] = L'\0';
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::wstring Dialog::LvCellText(int id, int row, int column) const {
  // The list gives no length; grow until the text fits.
  for (size_t cap = 256; cap <= 65536; cap *= 4) {
    std::wstring s(cap, L'\0');
    size_t n = LvCellText(id, row, column, &s[0], cap);
    if (n + 1 < cap) {
      s.resize(n);
      return s;
    }
  }
  return std::wstring();
}

void Dialog::LvDeleteAll(int id) { ::SendMessageW(Item(id), LVM_DELETEALLITEMS, 0, 0); }

void Dialog::LvSelectRow(int id, int row) {
  LVITEMW item = {};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = 0;
  ::SendMessageW(Item(id), LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&item));
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageW(Item(id), LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

int Dialog::LvSelectedRow(int id) const {
  return static_cast<int>(
      ::SendMessageW(Item(id), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

bool Dialog::LvIsRowChecked(int id, int row) const {
  LRESULT state = ::SendMessageW(Item(id), LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK);
  return ((static_cast<UINT>(state) & LVIS_STATEIMAGEMASK) >> 12) == 2;
}

// ---- list box ----

int Dialog::LbAdd(int id, const wchar_t* text) {
  LRESULT r = ::SendMessageW(Item(id), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text ? text : L""));
  return r >= 0 ? static_cast<int>(r) : -1;
}

void Dialog::LbClear(int id) { ::SendMessageW(Item(id), LB_RESETCONTENT, 0, 0); }

int Dialog::LbCount(int id) const {
  HWND list = Item(id);
  if (!list) return 0;
  LRESULT n = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  return n > 0 ? static_cast<int>(n) : 0;
}

std::wstring Dialog::LbLine(int id, int index) const {
  HWND list = Item(id);
  if (!list) return std::wstring();
  LRESULT len = ::SendMessageW(list, LB_GETTEXTLEN, index, 0);
  if (len == LB_ERR) return std::wstring();
  std::wstring s(static_cast<size_t>(len) + 1, L'\0');
  LRESULT n = ::SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&s[0]));
  s.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return s;
}

void Dialog::LbSelect(int id, int index) { ::SendMessageW(Item(id), LB_SETCURSEL, index, 0); }

HWND Dialog::ReplaceItem(int id, const wchar_t* cls, const wchar_t* text, DWORD style,
                         DWORD exStyle) {
  HWND old = Item(id);
  if (!old) return nullptr;
  RECT rc = ItemRect(id);
  HWND fresh = ::CreateWindowExW(exStyle, cls, text ? text : L"", style | WS_CHILD, rc.left, rc.top,
                                 rc.right - rc.left, rc.bottom - rc.top, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 ::GetModuleHandleW(nullptr), nullptr);
  if (!fresh) return nullptr;
  // Keep the tab order of the placeholder, then drop it.
  ::SetWindowPos(fresh, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::DestroyWindow(old);
  return fresh;
}

}  // namespace ui
