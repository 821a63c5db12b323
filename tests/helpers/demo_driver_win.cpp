// The demo's user: starts a setup executable, looks at each wizard page,
// opens the licence, accepts it, installs and finishes; then repairs the
// product after deleting one of its files (the installed unstall.exe -r) and
// uninstalls it (unstall.exe -u), saving a screenshot of every page and of
// both dialogs before and after their run.
//
//   demo_driver.exe SETUP_EXE OUTPUT_FOLDER [DISPLAY_NAME [KEY_NAME]]
//
// Screenshots in OUTPUT_FOLDER: 01-directory.png, 02-user.png,
// 03-licence.png, 04-progress-finished.png, 05-repair-ready.png,
// 06-repair-finished.png, 07-uninstall-ready.png, 08-uninstall-finished.png.
// Prints one line "demo: <mode>: OK|FAILED ..." per mode. Exit code 0 when
// all three went as a user expects, 1 otherwise.
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

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One operation of the installed unstall.exe: the dialog before and after
// its run, the progress lines, the second press that closes it.
int RunInstalledOperation(const std::wstring& installDir, const std::wstring& arguments,
                          const std::wstring& title, const wchar_t* readyShot,
                          const wchar_t* doneShot) {
  DWORD pid = 0;
  Print(L"running " + installDir + L"unstall.exe " + arguments);
  HWND dialog = wizrobot::StartOperation(installDir, arguments, title, &pid);
  if (!dialog) return Fail(L"the dialog did not appear");
  ui::Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
  Shot(dialog, readyShot);
  Print(L"button 1 reads " + robot::ControlText(dialog, IDOK) + L"; pressing it");
  if (!wizrobot::RunOperation(dialog)) return Fail(L"the operation did not finish");
  for (const auto& line : robot::ListViewColumn(robot::Control(dialog, wizrobot::kProgressList)))
    Print(L"  | " + line);
  Shot(dialog, doneShot);
  robot::ClickControl(dialog, IDOK);
  DWORD code = 1;
  if (!robot::WaitExit(process.get(), 30000, &code)) return Fail(L"the program did not end");
  return code == 0 ? 0 : Fail(L"the program ended with a non-zero exit code");
}

int Install(const std::wstring& setup, const std::wstring& display, std::wstring* installDir);

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr,
                  L"usage: demo_driver SETUP_EXE OUTPUT_FOLDER [DISPLAY_NAME [KEY_NAME]]\n");
    return 2;
  }
  const std::wstring setup = argv[1];
  g_out = argv[2];
  if (!g_out.empty() && g_out.back() != L'\\') g_out += L'\\';
  const std::wstring display = argc >= 4 ? argv[3] : L"可乐示例输入法";
  const std::wstring key = argc >= 5 ? argv[4] : L"KeloSample";
  CreateDirectoryW(g_out.c_str(), nullptr);

  std::wstring dir;
  const bool installed = Install(setup, display, &dir) == 0;
  Print(installed ? L"install: OK (the product is installed in " + dir + L")"
                  : std::wstring(L"install: FAILED"));
  if (!installed) return 1;
  if (dir.back() != L'\\') dir += L'\\';

  Say(L"deleting config.exe from the install folder, then repairing");
  DeleteFileW((dir + L"config.exe").c_str());
  const bool repaired =
      RunInstalledOperation(dir, L"-r name=[" + key + L"]", wizrobot::RepairTitle(display),
                            L"05-repair-ready.png", L"06-repair-finished.png") == 0 &&
      Exists(dir + L"config.exe");
  Print(repaired ? L"repair: OK (config.exe is back)" : L"repair: FAILED");

  const bool removed =
      RunInstalledOperation(dir, L"-u name=[" + key + L"]", wizrobot::UninstallTitle(display),
                            L"07-uninstall-ready.png", L"08-uninstall-finished.png") == 0 &&
      robot::WaitUntil([&] { return !Exists(dir); }, 10000);
  Print(removed ? L"uninstall: OK (the install folder is gone)" : L"uninstall: FAILED");
  return repaired && removed ? 0 : 1;
}

namespace {

int Install(const std::wstring& setup, const std::wstring& display, std::wstring* installDir) {
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
  *installDir = robot::Text(wizrobot::DirEdit(wizard));
  Print(L"install folder " + *installDir);

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

}  // namespace
