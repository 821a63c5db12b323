#include "update/pngshow_win.h"

#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <cstring>

#include "res/resource.h"

namespace pngshow {
namespace {

// ---- GDI+ start-up, shared by every picture ----

struct GdiplusState {
  CRITICAL_SECTION lock;
  ULONG_PTR token = 0;
  int pictures = 0;
  GdiplusState() { InitializeCriticalSection(&lock); }
  ~GdiplusState() { DeleteCriticalSection(&lock); }
};

GdiplusState& State() {
  static GdiplusState state;
  return state;
}

class Hold {
 public:
  Hold() { EnterCriticalSection(&State().lock); }
  ~Hold() { LeaveCriticalSection(&State().lock); }
};

bool StartGdiplus() {
  Hold hold;
  if (State().token) return true;
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  State().token = token;
  return true;
}

// ---- memory device contexts: four cached slots ----

std::atomic<HDC> g_dcSlots[4];

HDC TakeDC(HDC compatibleWith) {
  for (auto& slot : g_dcSlots)
    if (HDC dc = slot.exchange(nullptr)) return dc;
  return CreateCompatibleDC(compatibleWith);
}

void ReturnDC(HDC dc) {
  if (!dc) return;
  for (auto& slot : g_dcSlots) {
    HDC expected = nullptr;
    if (slot.compare_exchange_strong(expected, dc)) return;
  }
  DeleteDC(dc);
}

}  // namespace

int LivingPictures() {
  Hold hold;
  return State().pictures;
}

bool GdiplusRunning() {
  Hold hold;
  return State().token != 0;
}

Picture::Picture() {
  Hold hold;
  ++State().pictures;
}

Picture::~Picture() {
  Release();
  Hold hold;
  if (--State().pictures == 0 && State().token) {
    Gdiplus::GdiplusShutdown(State().token);
    State().token = 0;
  }
}

void Picture::Release() {
  if (bitmap_) DeleteObject(bitmap_);
  bitmap_ = nullptr;
  bits_ = nullptr;
  width_ = height_ = depth_ = paletteSize_ = 0;
  alpha_ = false;
}

bool Picture::Load(const wchar_t* path) {
  Release();
  if (!path || !path[0] || !StartGdiplus()) return false;
  // The GDI+ bitmap goes before this function returns (before any shutdown).
  Gdiplus::Bitmap source(path, FALSE);
  if (source.GetLastStatus() != Gdiplus::Ok) return false;
  const Gdiplus::PixelFormat own = source.GetPixelFormat();
  const UINT w = source.GetWidth(), h = source.GetHeight();
  if (!w || !h || w > 16384 || h > 16384) return false;

  // The bitmap's layout: 32-bit RGB by default; a layout GDI draws as it is
  // keeps its own depth; an alpha channel becomes premultiplied 32-bit ARGB,
  // the form an alpha blend takes.
  Gdiplus::PixelFormat layout = PixelFormat32bppRGB;
  switch (own) {
    case PixelFormat1bppIndexed:
    case PixelFormat4bppIndexed:
    case PixelFormat8bppIndexed:
    case PixelFormat16bppRGB555:
    case PixelFormat24bppRGB:
    case PixelFormat32bppRGB: layout = own; break;
    default: break;
  }
  if (Gdiplus::IsAlphaPixelFormat(own)) layout = PixelFormat32bppPARGB;
  const int depth = static_cast<int>(Gdiplus::GetPixelFormatSize(layout));
  const bool indexed = Gdiplus::IsIndexedPixelFormat(layout);

  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
  } info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = static_cast<LONG>(w);
  info.header.biHeight = -static_cast<LONG>(h);  // top-down rows
  info.header.biPlanes = 1;
  info.header.biBitCount = static_cast<WORD>(depth);
  info.header.biCompression = BI_RGB;
  int paletteSize = 0;
  if (indexed) {
    const INT bytes = source.GetPaletteSize();
    if (bytes < static_cast<INT>(sizeof(Gdiplus::ColorPalette))) return false;
    std::unique_ptr<unsigned char[]> block(new unsigned char[bytes]);
    auto* palette = reinterpret_cast<Gdiplus::ColorPalette*>(block.get());
    if (source.GetPalette(palette, bytes) != Gdiplus::Ok) return false;
    const UINT count = palette->Count;
    const size_t room = (static_cast<size_t>(bytes) - offsetof(Gdiplus::ColorPalette, Entries)) /
                        sizeof(Gdiplus::ARGB);
    if (count < 1 || count > 256 || count > room) return false;
    for (UINT i = 0; i < count; ++i) {
      const Gdiplus::ARGB c = palette->Entries[i];
      palette_[i] = {static_cast<BYTE>(c), static_cast<BYTE>(c >> 8), static_cast<BYTE>(c >> 16), 0};
    }
    std::memcpy(info.colours, palette_, count * sizeof(RGBQUAD));
    info.header.biClrUsed = count;
    paletteSize = static_cast<int>(count);
  }
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  if (!bitmap || !bits) {
    if (bitmap) DeleteObject(bitmap);
    return false;
  }
  const int stride = ((static_cast<int>(w) * depth + 31) / 32) * 4;
  // GDI+ writes the rows straight into the section, converting when the
  // layouts differ.
  Gdiplus::BitmapData data = {};
  data.Width = w;
  data.Height = h;
  data.Stride = stride;
  data.PixelFormat = layout;
  data.Scan0 = bits;
  Gdiplus::Rect all(0, 0, static_cast<INT>(w), static_cast<INT>(h));
  if (source.LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf, layout,
                      &data) != Gdiplus::Ok) {
    DeleteObject(bitmap);
    return false;
  }
  source.UnlockBits(&data);
  GdiFlush();
  bitmap_ = bitmap;
  bits_ = bits;
  width_ = static_cast<int>(w);
  height_ = static_cast<int>(h);
  depth_ = depth;
  alpha_ = layout == PixelFormat32bppPARGB;
  paletteSize_ = paletteSize;
  return true;
}

bool Picture::Draw(HDC target, int x, int y) const {
  if (!bitmap_ || !target) return false;
  HDC memory = TakeDC(target);
  if (!memory) return false;
  HGDIOBJ old = SelectObject(memory, bitmap_);
  bool ok;
  if (transparentIndex_ >= 0 && transparentIndex_ < paletteSize_) {
    const RGBQUAD& c = palette_[transparentIndex_];
    ok = TransparentBlt(target, x, y, width_, height_, memory, 0, 0, width_, height_,
                        RGB(c.rgbRed, c.rgbGreen, c.rgbBlue)) != FALSE;
  } else if (alpha_) {
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ok = AlphaBlend(target, x, y, width_, height_, memory, 0, 0, width_, height_, blend) != FALSE;
  } else {
    SetStretchBltMode(target, COLORONCOLOR);
    ok = StretchBlt(target, x, y, width_, height_, memory, 0, 0, width_, height_, SRCCOPY) != FALSE;
  }
  SelectObject(memory, old);
  ReturnDC(memory);
  return ok;
}

}  // namespace pngshow

// ---- the window ----

CKL_PNGSHOW::CKL_PNGSHOW() : ui::Dialog(IDD_PNG_PREVIEW) {}

CKL_PNGSHOW::~CKL_PNGSHOW() { shown_.reset(); }

void CKL_PNGSHOW::ShowPicture(const wchar_t* path) {
  path_ = path ? path : L"";
  if (!hwnd()) return;
  auto picture = std::make_unique<pngshow::Picture>();
  ++decodes_;
  if (!picture->Load(path_.c_str())) {
    shown_.reset();
    ShowWindow(hwnd(), SW_HIDE);
    return;
  }
  shown_ = std::move(picture);
  RECT owner = {};
  HWND parent = GetWindow(hwnd(), GW_OWNER);
  if (!parent) parent = GetParent(hwnd());
  if (parent) GetWindowRect(parent, &owner);
  SetWindowPos(hwnd(), nullptr, owner.right + 5, owner.top, shown_->width(),
               shown_->height() + 25, SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd(), SW_SHOWNA);
  // The background first, so that transparent areas show it and not the
  // previous picture; then the picture.
  RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

bool CKL_PNGSHOW::OnPaint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd(), &ps);
  if (dc && shown_) shown_->Draw(dc, 0, 0);
  EndPaint(hwnd(), &ps);
  return true;
}

void CKL_PNGSHOW::OnDestroy() { shown_.reset(); }
