// The demo's user: starts a setup executable, looks at each wizard page,
// opens the licence, accepts it, installs and finishes, saving a screenshot
// of every page on the way.
//
//   demo_driver.exe SETUP_EXE OUTPUT_FOLDER [DISPLAY_NAME]
//
// Screenshots: 01-directory.png, 02-user.png, 03-licence.png,
// 04-progress-finished.png in OUTPUT_FOLDER. Exit code 0 when the install
// finished with "完成安装(&O)" and the setup program ended, 1 otherwise.
#include <windows.h>
#include <objbase.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "robot_win.h"
#include "screenshot_win.h"
#include "wizard_robot_win.h"

namespace {

std::wstring g_out;

// Prints one line as UTF-8 (the console code page would drop Chinese text).
void Print(const std::wstring& line) {
  const std::wstring text = L"demo: " + line + L"\n";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string utf8(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], n,
                        nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

void Say(const wchar_t* what) { Print(what); }

bool Shot(HWND window, const wchar_t* name) {
  Sleep(700);  // let the page paint
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  const std::wstring path = g_out + name;
  const bool ok = CaptureWindowPng(window, path.c_str());
  Print(std::wstring(ok ? L"saved " : L"could not save ") + path);
  return ok;
}

int Fail(const wchar_t* what) {
  Print(std::wstring(L"FAILED: ") + what);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: demo_driver SETUP_EXE OUTPUT_FOLDER [DISPLAY_NAME]\n");
    return 2;
  }
  const std::wstring setup = argv[1];
  g_out = argv[2];
  if (!g_out.empty() && g_out.back() != L'\\') g_out += L'\\';
  const std::wstring display = argc >= 4 ? argv[3] : L"可乐示例输入法";
  CreateDirectoryW(g_out.c_str(), nullptr);

  // The licence page needs mshtml; the rest of the environment is ours.
  robot::StartOptions options;
  options.environment.push_back({L"WINEDLLOVERRIDES", L"mscoree=;winemenubuilder.exe=d"});
  DWORD pid = 0;
  Say(L"starting the setup program");
  HWND wizard = wizrobot::StartWizard(setup, wizrobot::WizardCaption(display), &pid, 60000,
                                      options);
  if (!wizard) return Fail(L"the wizard did not appear");
  ui::Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));

  Shot(wizard, L"01-directory.png");
  Print(L"install folder " + robot::Text(wizrobot::DirEdit(wizard)));

  HWND tabs = robot::Control(wizard, wizrobot::kTabs);
  SendMessageW(tabs, TCM_SETCURFOCUS, 1, 0);
  Shot(wizard, L"02-user.png");
  SendMessageW(tabs, TCM_SETCURFOCUS, 0, 0);

  Say(L"opening the licence");
  robot::ClickControl(wizard, wizrobot::kLink);
  HWND licence = robot::WaitTopWindow(display + L" - 最终用户许可协议", 30000, nullptr, pid);
  if (!licence) return Fail(L"the licence dialog did not appear");
  Sleep(2000);  // the browser may or may not render; never wait for it
  Print(L"licence view window class: " + robot::ClassName(robot::Control(licence, 1014)));
  Shot(licence, L"03-licence.png");
  robot::ClickControl(licence, IDOK);
  if (!robot::WaitUntil([&] { return !IsWindow(licence); }, 10000))
    return Fail(L"the licence dialog did not close");

  Say(L"accepting the licence and installing");
  robot::ClickControl(wizard, wizrobot::kAccept);
  robot::WaitUntil([&] { return robot::IsEnabled(robot::Control(wizard, IDOK)); }, 5000);
  robot::ClickControl(wizard, IDOK);

  // An earlier demo run leaves the product installed: overwrite it.
  std::wstring finished;
  robot::WaitUntil(
      [&] {
        if (HWND ask = robot::FindTopWindow(L"是否继续？", robot::kDialogClass, pid)) {
          Say(L"the folder exists from an earlier run: overwriting");
          robot::Answer(ask, IDYES);
        }
        const std::wstring t = robot::ControlText(wizard, IDOK);
        if (t == wizrobot::kDoneCaption || t == wizrobot::kFailedCaption) finished = t;
        return !finished.empty();
      },
      120000, 200);
  if (finished.empty()) return Fail(L"the install did not finish");
  for (const auto& line : robot::ListViewColumn(wizrobot::ProgressList(wizard)))
    Print(L"  | " + line);
  Shot(wizard, L"04-progress-finished.png");
  Print(L"button 1 reads " + finished);

  robot::ClickControl(wizard, IDOK);
  if (!robot::WaitExit(process.get(), 30000)) return Fail(L"the setup program did not end");
  Say(L"the setup program ended");
  return finished == wizrobot::kDoneCaption ? 0 : 1;
}
