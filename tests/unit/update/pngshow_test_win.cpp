// The picture preview window under Wine: decoding by format (alpha,
// truecolour, palettes), GDI+ started and stopped with the pictures, and the
// window beside its owner (placement, transparency over the dialog
// background, redraw after being covered, hidden for a missing file).
#include "update/pngshow_win.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "png_test_util.h"
#include "res/resource.h"
#include "testfs_win.h"
#include "ui/owners_win.h"

namespace {

using pngtest::Bytes;

class PngShow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\') --n;
    path[n] = 0;
    setup_.reset(LoadLibraryExW((std::wstring(path) + L"setup.exe").c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ui::SetTemplateModule(setup_.get());
  }
  static void TearDownTestSuite() {
    ui::SetTemplateModule(nullptr);
    setup_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(setup_.valid()) << "setup.exe (the templates) must be built next to this test";
    dir_ = testfs::TempFolder() + testfs::Unique(L"klpng") + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
  }
  void TearDown() override { testfs::RemoveTree(dir_); }

  std::wstring Write(const wchar_t* name, const Bytes& bytes) {
    const std::wstring p = dir_ + name;
    EXPECT_TRUE(testfs::WriteAll(p, bytes));
    return p;
  }
  static void Pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  }

  static ui::Module setup_;
  std::wstring dir_;
};
ui::Module PngShow::setup_;

TEST_F(PngShow, DecodesByFormat) {
  {
    // RGBA: 32 bits, premultiplied for the blend.
    const Bytes px = {255, 0, 0, 128, 0, 255, 0, 255};
    pngshow::Picture p;
    ASSERT_TRUE(p.Load(Write(L"rgba.png", pngtest::Png(2, 1, 6, 8, px)).c_str()));
    EXPECT_TRUE(pngshow::GdiplusRunning());
    EXPECT_EQ(p.width(), 2);
    EXPECT_EQ(p.height(), 1);
    EXPECT_EQ(p.depth(), 32);
    EXPECT_TRUE(p.hasAlpha());
    const unsigned char* b = p.Bits();
    EXPECT_NEAR(b[2], 128, 1);  // red, premultiplied
    EXPECT_EQ(b[3], 128);
    EXPECT_EQ(b[5], 255);
    EXPECT_EQ(b[7], 255);
  }
  EXPECT_EQ(pngshow::LivingPictures(), 0);
  EXPECT_FALSE(pngshow::GdiplusRunning()) << "GDI+ outlived the last picture";
  {
    // RGB: no alpha, drawn by a plain copy.
    pngshow::Picture p;
    ASSERT_TRUE(p.Load(Write(L"rgb.png", pngtest::Png(3, 2, 2, 8, Bytes(18, 0x7F))).c_str()));
    EXPECT_FALSE(p.hasAlpha());
    EXPECT_TRUE(p.depth() == 24 || p.depth() == 32) << p.depth();
    EXPECT_EQ(p.Bits()[0], 0x7F);
  }
  {
    // A palette of three colours: indexed, with its colour table.
    const Bytes palette = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    pngshow::Picture p;
    ASSERT_TRUE(p.Load(Write(L"pal.png", pngtest::Png(4, 1, 3, 8, {0, 1, 2, 1}, palette)).c_str()));
    EXPECT_FALSE(p.hasAlpha());
    if (p.depth() <= 8) {
      EXPECT_GE(p.paletteSize(), 3);
      EXPECT_LE(p.paletteSize(), 256);
      EXPECT_EQ(p.Bits()[0], 0);
      EXPECT_EQ(p.Bits()[2], 2);
    }
    // Drawn into a 32-bit bitmap: the palette's colours.
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ui::GdiObject target(CreateCompatibleBitmap(screen, 4, 1));
    HGDIOBJ old = SelectObject(dc, target.get());
    EXPECT_TRUE(p.Draw(dc, 0, 0));
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 2, 0), RGB(0, 0, 255));
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
  }
  // Missing and broken files fail.
  pngshow::Picture p;
  EXPECT_FALSE(p.Load((dir_ + L"none.png").c_str()));
  EXPECT_FALSE(p.Load(Write(L"bad.png", Bytes(200, 0x89)).c_str()));
  Bytes cut = pngtest::Png(50, 50, 2, 8, Bytes(7500, 3));
  cut.resize(60);
  EXPECT_FALSE(p.Load(Write(L"cut.png", cut).c_str()));
  EXPECT_FALSE(p.valid());
}

TEST_F(PngShow, ShownBesideTheOwnerOverTheBackground) {
  ui::Dialog owner(IDD_SKIN_UPDATE);
  ASSERT_NE(owner.Create(nullptr), nullptr);
  SetWindowPos(owner.hwnd(), nullptr, 40, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(owner.hwnd(), SW_SHOW);
  SetForegroundWindow(owner.hwnd());
  Pump();
  CKL_PNGSHOW preview;
  ASSERT_NE(preview.Create(owner.hwnd()), nullptr);
  EXPECT_FALSE(IsWindowVisible(preview.hwnd()));
  wchar_t caption[32] = {};
  GetWindowTextW(preview.hwnd(), caption, 32);
  EXPECT_EQ(std::wstring(caption), L"图片御览");

  const HWND activeBefore = GetActiveWindow();
  const std::wstring picture = Write(L"half.png", pngtest::HalfTransparent(100, 80, 200, 0, 0));
  preview.ShowPicture(picture.c_str());
  Pump();
  RECT o = {}, r = {};
  GetWindowRect(owner.hwnd(), &o);
  GetWindowRect(preview.hwnd(), &r);
  EXPECT_TRUE(IsWindowVisible(preview.hwnd()));
  EXPECT_EQ(r.left, o.right + 5);
  EXPECT_EQ(r.top, o.top);
  EXPECT_EQ(r.right - r.left, 100);
  EXPECT_EQ(r.bottom - r.top, 105);
  EXPECT_EQ(GetActiveWindow(), activeBefore);
  EXPECT_NE(GetActiveWindow(), preview.hwnd()) << "the preview took the focus";

  // Transparent half: the dialog background; opaque half: the picture.
  auto pixels = [&] {
    HDC dc = GetDC(preview.hwnd());
    std::pair<COLORREF, COLORREF> p{GetPixel(dc, 10, 10), GetPixel(dc, 90, 10)};
    ReleaseDC(preview.hwnd(), dc);
    return p;
  };
  const COLORREF background = GetSysColor(COLOR_BTNFACE);
  EXPECT_EQ(pixels().first, background);
  EXPECT_EQ(pixels().second, RGB(200, 0, 0));

  // Covered and uncovered: drawn again.
  HDC dc = GetDC(preview.hwnd());
  RECT all = {0, 0, 100, 60};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  ReleaseDC(preview.hwnd(), dc);
  InvalidateRect(preview.hwnd(), nullptr, TRUE);
  UpdateWindow(preview.hwnd());
  EXPECT_EQ(pixels().first, background);
  EXPECT_EQ(pixels().second, RGB(200, 0, 0));

  // A missing picture hides the window.
  preview.ShowPicture((dir_ + L"missing.png").c_str());
  EXPECT_FALSE(IsWindowVisible(preview.hwnd()));
  EXPECT_EQ(preview.path(), dir_ + L"missing.png");
  preview.Destroy();
  owner.Destroy();
}

}  // namespace
