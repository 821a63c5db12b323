#include "screenshot_win.h"

#include <objbase.h>
#include <gdiplus.h>

#include "ui/owners_win.h"

namespace {

// GDI+ for the life of one capture.
class GdiplusScope {
 public:
  GdiplusScope() {
    Gdiplus::GdiplusStartupInput input;
    ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
  }
  ~GdiplusScope() {
    if (ok_) Gdiplus::GdiplusShutdown(token_);
  }
  GdiplusScope(const GdiplusScope&) = delete;
  GdiplusScope& operator=(const GdiplusScope&) = delete;
  bool ok() const { return ok_; }

 private:
  ULONG_PTR token_ = 0;
  bool ok_ = false;
};

bool PngEncoder(CLSID* clsid) {
  UINT count = 0, bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  ui::HeapBlock block(::HeapAlloc(::GetProcessHeap(), 0, bytes));
  if (!block) return false;
  auto* codecs = static_cast<Gdiplus::ImageCodecInfo*>(block.get());
  if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (lstrcmpiW(codecs[i].MimeType, L"image/png") == 0) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

// true when the rectangle lies wholly on the screen and no other top-level
// window covers it (then the screen holds exactly what the window shows).
bool OnScreenUncovered(HWND hwnd, const RECT& rc) {
  RECT screen = {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  RECT inter;
  if (!::IntersectRect(&inter, &rc, &screen) || !::EqualRect(&inter, &rc)) return false;
  HWND top = ::GetAncestor(hwnd, GA_ROOT);
  for (HWND w = ::GetWindow(top, GW_HWNDPREV); w; w = ::GetWindow(w, GW_HWNDPREV)) {
    RECT other;
    if (::IsWindowVisible(w) && ::GetWindowRect(w, &other) && ::IntersectRect(&inter, &rc, &other))
      return false;
  }
  return true;
}

// What a window painted reaches the screen only after its thread has waited
// for messages for a moment (Wine flushes the window's surface then). Our
// own windows are pumped here; another thread's pump themselves.
void SettleDrawing(HWND hwnd) {
  if (::GetWindowThreadProcessId(hwnd, nullptr) != ::GetCurrentThreadId()) {
    ::Sleep(250);
    return;
  }
  DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < 250) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

}  // namespace

bool CaptureWindowPng(HWND hwnd, const wchar_t* path) {
  if (!::IsWindow(hwnd) || !path) return false;
  ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  SettleDrawing(hwnd);
  RECT rc;
  if (!::GetWindowRect(hwnd, &rc)) return false;
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0) return false;

  HDC screen = ::GetDC(nullptr);
  if (!screen) return false;
  HDC mem = ::CreateCompatibleDC(screen);
  ui::GdiObject bitmap(::CreateCompatibleBitmap(screen, w, h));
  bool drawn = false;
  if (mem && bitmap) {
    HGDIOBJ old = ::SelectObject(mem, bitmap.get());
    if (::IsWindowVisible(hwnd) && OnScreenUncovered(hwnd, rc))
      drawn = ::BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY) != FALSE;
    if (!drawn) drawn = ::PrintWindow(hwnd, mem, 0) != FALSE;
    ::SelectObject(mem, old);
  }
  if (mem) ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  if (!drawn) return false;

  GdiplusScope gdiplus;
  if (!gdiplus.ok()) return false;
  CLSID png;
  if (!PngEncoder(&png)) return false;
  bool saved = false;
  {
    Gdiplus::Bitmap image(static_cast<HBITMAP>(bitmap.get()), nullptr);
    saved = image.GetLastStatus() == Gdiplus::Ok && image.Save(path, &png, nullptr) == Gdiplus::Ok;
  }
  return saved;
}

