// The floating picture preview (template 142): a captioned pop-up that its
// owner creates hidden once and then asks to show one picture file at a
// time, placed 5 pixels right of the owner, level with its top, as wide as
// the picture and 25 pixels higher (room for the caption). It never takes
// the focus. A picture with an alpha channel is blended over the window's
// background; a file that cannot be decoded hides the window.
//
// Pictures are decoded with GDI+ into a device-independent bitmap section.
// GDI+ is started by the first decode and shut down when the last decoded
// picture goes; drawing borrows memory device contexts from a small
// process-wide cache. Both may be used from any thread; the window itself
// belongs to its owner's thread.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ui/dialog_win.h"

namespace pngshow {

// A decoded picture. Bits() are top-down rows of Stride() bytes.
class Picture {
 public:
  Picture();
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  // Decodes the file; false (and an empty picture) on any failure.
  bool Load(const wchar_t* path);
  // Draws the whole picture at (x, y) in its natural size: a transparent
  // copy when a transparent palette index is set, an alpha blend when the
  // picture has per-pixel alpha, else a plain copy.
  bool Draw(HDC target, int x, int y) const;

  bool valid() const { return bitmap_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }
  int depth() const { return depth_; }
  bool hasAlpha() const { return alpha_; }
  int paletteSize() const { return paletteSize_; }
  // The palette entry drawn as transparent (-1: none).
  int transparentIndex() const { return transparentIndex_; }
  void SetTransparentIndex(int index) { transparentIndex_ = index; }
  const unsigned char* Bits() const { return static_cast<const unsigned char*>(bits_); }
  int Stride() const { return ((width_ * depth_ + 31) / 32) * 4; }

 private:
  void Release();

  HBITMAP bitmap_ = nullptr;
  void* bits_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int depth_ = 0;
  bool alpha_ = false;
  int paletteSize_ = 0;
  RGBQUAD palette_[256] = {};
  int transparentIndex_ = -1;
};

// Living Picture objects (GDI+ runs while this is above zero and a decode
// has started it) and whether GDI+ is running; for tests.
int LivingPictures();
bool GdiplusRunning();

}  // namespace pngshow

class CKL_PNGSHOW : public ui::Dialog {
 public:
  CKL_PNGSHOW();
  ~CKL_PNGSHOW() override;

  // Shows the picture file beside the parent window without activating this
  // one; hides the window when the file cannot be decoded.
  void ShowPicture(const wchar_t* path);

  const std::wstring& path() const { return path_; }
  // How many times a picture file was decoded (the owner avoids reloads).
  int decodes() const { return decodes_; }

 protected:
  BOOL OnInitDialog() override { return FALSE; }  // never takes the focus
  bool OnPaint() override;
  void OnDestroy() override;

 private:
  std::wstring path_;
  // The picture on show, kept to redraw it when the window is uncovered.
  std::unique_ptr<pngshow::Picture> shown_;
  int decodes_ = 0;
};
