// The robot itself, on windows and a message box made by a second thread of
// this process (the calls go through the same cross-thread paths as for
// another process; the list view is read through VirtualAllocEx memory).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "robot_win.h"

namespace {

constexpr int kListBoxId = 101;
constexpr int kListViewId = 102;
constexpr int kEditId = 103;
constexpr int kButtonId = 104;

std::atomic<int> g_clicks{0};

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND && LOWORD(wp) == kButtonId && HIWORD(wp) == BN_CLICKED) {
    ++g_clicks;
    return 0;
  }
  if (msg == WM_CLOSE) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// A top-level window with a list box, a one-column list view, an edit and a
// disabled-then-enabled button, run on its own thread.
class Panel {
 public:
  Panel() {
    thread_ = std::thread([this] { Run(); });
    robot::WaitUntil([this] { return hwnd_.load() != nullptr; }, 5000);
  }
  ~Panel() {
    if (HWND h = hwnd_.load()) PostMessageW(h, WM_CLOSE, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_.load(); }

 private:
  void Run() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = PanelProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KlRobotPanel";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, L"KlRobotPanel", L"机器人面板", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                             0, 0, 400, 300, nullptr, nullptr, wc.hInstance, nullptr);
    auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
      return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 100, 100, w,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), wc.hInstance,
                             nullptr);
    };
    HWND list = child(L"LISTBOX", L"", 0, kListBoxId);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"第一行"));
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"second line"));
    HWND view = child(WC_LISTVIEWW, L"", LVS_REPORT, kListViewId);
    LVCOLUMNW col = {};
    col.mask = LVCF_WIDTH;
    col.cx = 200;
    SendMessageW(view, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&col));
    const wchar_t* rows[] = {L"正在复制文件", L"完成"};
    for (int i = 0; i < 2; ++i) {
      LVITEMW item = {};
      item.mask = LVIF_TEXT;
      item.iItem = i;
      item.pszText = const_cast<wchar_t*>(rows[i]);
      SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    child(L"EDIT", L"初始", 0, kEditId);
    child(L"BUTTON", L"安装(&I)", BS_PUSHBUTTON | WS_DISABLED, kButtonId);
    hwnd_ = w;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  std::atomic<HWND> hwnd_{nullptr};
  std::thread thread_;
};

TEST(Robot, FindsWindowAndReadsControls) {
  Panel panel;
  ASSERT_NE(panel.hwnd(), nullptr);
  HWND w = robot::WaitTopWindow(L"机器人面板", 5000, L"KlRobotPanel", GetCurrentProcessId());
  ASSERT_EQ(w, panel.hwnd());
  EXPECT_EQ(robot::FindTopWindow(L"机器人面板", L"OtherClass"), nullptr);
  EXPECT_EQ(robot::FindTopWindow(L"机器人面板", nullptr, GetCurrentProcessId() + 4), nullptr);

  EXPECT_EQ(robot::ListBoxLines(robot::Control(w, kListBoxId)),
            (std::vector<std::wstring>{L"第一行", L"second line"}));
  EXPECT_EQ(robot::ListViewColumn(robot::Control(w, kListViewId)),
            (std::vector<std::wstring>{L"正在复制文件", L"完成"}));

  HWND edit = robot::Control(w, kEditId);
  EXPECT_EQ(robot::Text(edit), L"初始");
  ASSERT_TRUE(robot::SetText(edit, L"C:\\Program Files\\可乐"));
  EXPECT_EQ(robot::ControlText(w, kEditId), L"C:\\Program Files\\可乐");
  EXPECT_EQ(robot::ControlText(w, kButtonId), L"安装(&I)");
}

TEST(Robot, ClicksOnlyEnabledButtons) {
  Panel panel;
  HWND w = panel.hwnd();
  ASSERT_NE(w, nullptr);
  HWND button = robot::Control(w, kButtonId);
  g_clicks = 0;
  EXPECT_FALSE(robot::IsEnabled(button));
  EXPECT_TRUE(robot::IsVisible(button));
  EXPECT_FALSE(robot::Click(button));
  Sleep(200);
  EXPECT_EQ(g_clicks.load(), 0) << "a disabled button was clicked";

  EnableWindow(button, TRUE);
  EXPECT_TRUE(robot::IsEnabled(button));
  ASSERT_TRUE(robot::ClickControl(w, kButtonId));
  EXPECT_TRUE(robot::WaitUntil([] { return g_clicks.load() == 1; }, 3000));
  ASSERT_TRUE(robot::Command(w, kButtonId));
  EXPECT_TRUE(robot::WaitUntil([] { return g_clicks.load() == 2; }, 3000));
}

TEST(Robot, ReadsAndAnswersMessageBoxes) {
  for (UINT icon : {UINT(MB_ICONHAND), UINT(0)}) {
    std::atomic<int> answer{-1};
    std::thread shower([&] {
      answer = MessageBoxW(nullptr, L"程序无法执行任何操作。", L"机器人提示", MB_YESNO | icon);
    });
    robot::MsgBox box = robot::WaitMessageBox(L"机器人提示", 5000, GetCurrentProcessId());
    ASSERT_TRUE(box);
    EXPECT_EQ(box.text, L"程序无法执行任何操作。");
    EXPECT_EQ(box.hasIcon, icon != 0);
    ASSERT_TRUE(robot::Answer(box.hwnd, IDNO));
    shower.join();
    EXPECT_EQ(answer.load(), IDNO);
  }
  EXPECT_FALSE(robot::WaitMessageBox(L"机器人提示", 100));
}

TEST(Robot, ProcessesAndCommandLines) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring name = self;
  name = name.substr(name.rfind(L'\\'));
  EXPECT_EQ(robot::FindProcess(name), GetCurrentProcessId());
  EXPECT_EQ(robot::FindProcess(name, GetCurrentProcessId()), 0u);

  std::wstring line;
  ASSERT_TRUE(robot::ReadCommandLine(GetCurrentProcessId(), &line));
  EXPECT_EQ(line, GetCommandLineW());

  // A child with an extra variable and a working directory; its command line
  // is read from outside.
  wchar_t comspec[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH), 0u);
  wchar_t windir[MAX_PATH];
  GetWindowsDirectoryW(windir, MAX_PATH);
  robot::StartOptions options;
  options.environment = {{L"KL_ROBOT_CODE", L"7"}};
  options.workingDirectory = windir;
  robot::Process child;
  ASSERT_TRUE(robot::Start(comspec, L"/c ping -n 2 127.0.0.1 >nul & exit %KL_ROBOT_CODE%", &child,
                           options));
  // A process that has only just been created may not have its parameters
  // filled in yet: poll.
  std::wstring childLine;
  EXPECT_TRUE(robot::WaitUntil(
      [&] {
        return robot::ReadCommandLine(child.pid(), &childLine) &&
               childLine.find(L"exit %KL_ROBOT_CODE%") != std::wstring::npos;
      },
      5000, 20))
      << childLine;
  DWORD code = 0;
  ASSERT_TRUE(robot::WaitExit(child, 15000, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(robot::ReadCommandLine(0xFFFFFFF0u, &line));
}

}  // namespace
