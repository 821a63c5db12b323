// The small dialog framework: one class per dialog template, with virtual
// handlers for the messages the product's dialogs use and helpers for their
// controls. Modal dialogs run with DoModal (DialogBoxParamW); pages and other
// modeless windows with Create (CreateDialogParamW) inside a parent.
//
// Threads: the helpers only send messages (SendMessageW), so a worker thread
// may call them on a dialog whose own thread keeps pumping (a modal loop or
// the caller's message loop). Everything else belongs to the dialog's thread.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace ui {

// The module whose resources hold the dialog templates and icons: the running
// executable unless set otherwise (the preview tool and the tests point it at
// setup.exe loaded as a resource file). Null restores the default.
HINSTANCE TemplateModule();
void SetTemplateModule(HINSTANCE module);

// Icon resource `id` of the template module at the system's big or small icon
// size. Shared icons: the system keeps them, nobody destroys them.
HICON LoadAppIcon(int id, bool small);

class Dialog {
 public:
  explicit Dialog(int templateId) : templateId_(templateId) {}
  virtual ~Dialog();  // destroys a modeless window that is still open
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally; returns the EndDialog result, or -1 when the
  // dialog could not be created (missing template, control class unknown).
  INT_PTR DoModal(HWND owner);
  // Creates a modeless dialog (a child page when the template has WS_CHILD).
  // Stays hidden unless the template has WS_VISIBLE. Null on failure.
  HWND Create(HWND parent);
  // Destroys a modeless dialog (nothing when none is open).
  void Destroy();
  // Modal: ends the loop with `result`. Modeless: stores it and destroys the
  // window.
  void EndDialog(INT_PTR result);

  HWND hwnd() const { return hwnd_; }
  int templateId() const { return templateId_; }
  bool isModal() const { return modal_; }
  INT_PTR result() const { return result_; }

  // ---- the dialog window itself ----
  void SetCaption(const wchar_t* text) { ::SetWindowTextW(hwnd_, text); }
  void SetIcon(HICON icon);  // big and small
  void SetVisible(bool visible, bool activate = true);
  // Moves the window to rect (parent client coordinates for a child).
  void MoveTo(const RECT& rect, bool repaint = true);
  // An item's window rectangle in this dialog's client coordinates.
  RECT ItemRect(int id) const;
  bool StartTimer(UINT_PTR id, UINT ms) { return ::SetTimer(hwnd_, id, ms, nullptr) != 0; }
  void StopTimer(UINT_PTR id) { ::KillTimer(hwnd_, id); }

  // ---- controls by id ----
  HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }
  bool SetItemText(int id, const wchar_t* text);
  // Copies the text into buf (cut to cap - 1 characters and terminated);
  // returns its length. An unknown id gives "".
  size_t GetItemText(int id, wchar_t* buf, size_t cap) const;
  template <size_t N>
  size_t GetItemText(int id, wchar_t (&buf)[N]) const { return GetItemText(id, buf, N); }
  std::wstring ItemText(int id) const;
  void Enable(int id, bool enable);
  void Show(int id, bool show);
  bool IsChecked(int id) const;
  void SetChecked(int id, bool checked);
  // Checks `id` and clears the other radios of first..last.
  void CheckRadio(int first, int last, int id);

  // ---- list view (report mode) by id ----
  int LvInsertColumn(int id, int index, const wchar_t* heading, int width,
                     int format = LVCFMT_LEFT);
  void LvSetExtendedStyle(int id, DWORD styles);  // added to the present ones
  // Inserts a row at `row` (or at the end when row < 0) with column 0 text;
  // returns its index or -1.
  int LvInsertRow(int id, int row, const wchar_t* text);
  int LvAppendRow(int id, const wchar_t* text) { return LvInsertRow(id, -1, text); }
  bool LvSetCell(int id, int row, int column, const wchar_t* text);
  int LvRowCount(int id) const;
  // Cell text into buf (cut and terminated); returns its length.
  size_t LvCellText(int id, int row, int column, wchar_t* buf, size_t cap) const;
  std::wstring LvCellText(int id, int row, int column) const;
  void LvDeleteAll(int id);
  void LvSelectRow(int id, int row);        // the only selected row afterwards
  int LvSelectedRow(int id) const;          // -1 when none
  bool LvIsRowChecked(int id, int row) const;  // check-box lists

  // ---- list box by id ----
  int LbAdd(int id, const wchar_t* text);  // index of the new line, or -1
  void LbClear(int id);
  int LbCount(int id) const;
  std::wstring LbLine(int id, int index) const;
  void LbSelect(int id, int index);

  // Replaces control `id` by a new window of class cls with the same id and
  // rectangle (e.g. an ActiveX host created at run time over a placeholder).
  // The placeholder is kept when the new window cannot be created; returns
  // the new window or null.
  HWND ReplaceItem(int id, const wchar_t* cls, const wchar_t* text, DWORD style,
                   DWORD exStyle = 0);

 protected:
  // Return TRUE to let the system put the focus on the first control.
  virtual BOOL OnInitDialog() { return TRUE; }
  // Default: IDOK -> OnOk, IDCANCEL -> OnCancel. true when handled.
  virtual bool OnCommand(int id, int code, HWND control);
  // *result becomes the notification's result (DWLP_MSGRESULT).
  virtual bool OnNotify(NMHDR* header, LRESULT* result) { (void)header; (void)result; return false; }
  virtual void OnTimer(UINT_PTR id) { (void)id; }
  virtual bool OnDrawItem(int id, DRAWITEMSTRUCT* item) { (void)id; (void)item; return false; }
  // true: the cursor was set, stop the default handling.
  virtual bool OnSetCursor(HWND over, int hitTest, int mouseMessage) {
    (void)over; (void)hitTest; (void)mouseMessage; return false;
  }
  virtual bool OnPaint() { return false; }        // true: painted (BeginPaint/EndPaint done)
  virtual HICON OnQueryDragIcon() { return nullptr; }
  virtual void OnOk() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  virtual void OnClose() { OnCancel(); }           // close box (modeless pages)
  virtual void OnDestroy() {}
  // Any other message. true when handled; *result is what the message returns.
  virtual bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    (void)msg; (void)wp; (void)lp; (void)result; return false;
  }

  // Paints `icon` centred in the client area when the window is minimised;
  // true when it did (for OnPaint of dialogs with an icon).
  bool PaintIconWhenMinimised(HICON icon);

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  INT_PTR Dispatch(UINT msg, WPARAM wp, LPARAM lp);

  int templateId_;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
  INT_PTR result_ = 0;
};

}  // namespace ui
