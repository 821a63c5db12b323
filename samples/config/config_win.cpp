// config.exe of the sample input method: the program behind the settings,
// code-table, key and user-word shortcuts. It has no settings to change; it
// opens one window, captioned "可乐示例输入法 - 系统设置", whose read-only edit
// control (id 100) shows the command line it was started with, so a person
// or a test can see which shortcut started it. Closing the window ends it.
//
// The icon resources 1..7 are the icon indexes 0..6 the shortcuts refer to.
#include <windows.h>

namespace {

const wchar_t kClass[] = L"KeloSampleConfig";
const wchar_t kCaption[] = L"可乐示例输入法 - 系统设置";
constexpr int kEditId = 100;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: {
      HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", GetCommandLineW(),
                                  WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL,
                                  0, 0, 0, 0, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kEditId)),
                                  reinterpret_cast<CREATESTRUCTW*>(lp)->hInstance, nullptr);
      if (!edit) return -1;
      SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
      return 0;
    }
    case WM_SIZE:
      MoveWindow(GetDlgItem(hwnd, kEditId), 8, 8, LOWORD(lp) > 16 ? LOWORD(lp) - 16 : 0,
                 HIWORD(lp) > 16 ? HIWORD(lp) - 16 : 0, TRUE);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClass;
  if (!RegisterClassExW(&wc)) return 1;

  HWND hwnd = CreateWindowExW(0, kClass, kCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 480, 200,
                              nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
