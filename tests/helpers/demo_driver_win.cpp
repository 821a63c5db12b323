// The demo's user: starts a setup executable, looks at each wizard page,
// opens the licence, accepts it, installs and finishes; then, given an update
// server, checks for newer drivers (the installed unstall.exe -g); then
// repairs the product after deleting one of its files (unstall.exe -r) and
// uninstalls it (unstall.exe -u), saving a screenshot of every page and of
// each dialog before and after its run.
//
//   demo_driver.exe SETUP_EXE OUTPUT_FOLDER [DISPLAY_NAME [KEY_NAME [UPDATE_SERVER]]]
//
// UPDATE_SERVER ("http://127.0.0.1:PORT") becomes the product's
// "UpdateServer" value for the update check; without it there is none.
// Screenshots in OUTPUT_FOLDER: 01-directory.png, 02-user.png,
// 03-licence.png, 04-progress-finished.png, 05a-skins.png,
// 05b-skins-with-preview.png (the screen), 05-update-finished.png,
// 06-repair-ready.png, 07-repair-finished.png, 08-uninstall-ready.png,
// 09-uninstall-finished.png. Prints one line "demo: <mode>: OK|FAILED ..."
// per mode. Exit code 0 when every mode went as a user expects, 1 otherwise.
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

// The skin package dialog after Yes: waits for the downloads, shows Beta's
// preview (a picture with transparent areas) beside the dialog, checks Alpha
// and installs it into the skin folder.
bool RunSkins(const std::wstring& dir, DWORD pid) {
  HWND skins = robot::WaitTopWindow(L"prismic皮肤驱动更新", 60000, robot::kDialogClass, pid);
  if (!skins) return Fail(L"the skin package dialog did not appear") == 0;
  HWND list = robot::Control(skins, 1006);
  std::vector<std::wstring> names;
  robot::WaitUntil(
      [&] {
        names = robot::ListViewColumn(list, 0);
        return !names.empty() && robot::IsEnabled(robot::Control(skins, IDOK));
      },
      60000, 200);
  const std::vector<std::wstring> versions = robot::ListViewColumn(list, 1);
  const std::vector<std::wstring> bytes = robot::ListViewColumn(list, 2);
  int alpha = -1, beta = -1;
  for (size_t r = 0; r < names.size(); ++r) {
    Print(L"  skin: " + names[r] + L" | " + (r < versions.size() ? versions[r] : L"") + L" | " +
          (r < bytes.size() ? bytes[r] : L""));
    if (names[r] == L"Alpha") alpha = static_cast<int>(r);
    if (names[r] == L"Beta") beta = static_cast<int>(r);
  }
  if (alpha < 0 || beta < 0) return Fail(L"the skin list lacks Alpha or Beta") == 0;
  // The downloads ended with Beta's row selected (before its picture was
  // there): a row is shown only when the selection moves to it.
  HWND preview = nullptr;
  for (int row : {alpha, beta}) {
    robot::SelectListViewRow(list, row);
    const int width = row == beta ? 100 : 120;
    robot::WaitUntil(
        [&] {
          preview = robot::FindTopWindow(L"图片御览", robot::kDialogClass, pid);
          RECT r = {};
          return preview && robot::IsVisible(preview) && GetWindowRect(preview, &r) &&
                 r.right - r.left == width;
        },
        10000);
  }
  if (!preview || !robot::IsVisible(preview)) {
    robot::Command(skins, IDCANCEL);
    return Fail(L"no preview beside the skin dialog") == 0;
  }
  Shot(skins, L"05a-skins.png");
  Shot(GetDesktopWindow(), L"05b-skins-with-preview.png");
  robot::CheckListViewRow(list, alpha);
  Say(L"checking Alpha and installing it");
  robot::Command(skins, IDOK);
  if (!robot::WaitUntil([&] { return !IsWindow(skins); }, 30000))
    return Fail(L"the skin dialog did not close after install") == 0;
  const std::wstring installed = dir + L"prismic\\Alpha.zip";
  const bool ok = GetFileAttributesW(installed.c_str()) != INVALID_FILE_ATTRIBUTES;
  Print((ok ? L"installed " : L"missing ") + installed);
  return ok;
}

// The driver update against server: every row must end "完成" and the
// messages with "更新完毕". The skin question is answered Yes: the skin
// dialog installs Alpha.
bool RunUpdate(const std::wstring& dir, const std::wstring& key, const std::wstring& display,
               const std::wstring& server) {
  const std::wstring vendor = L"Software\\zorbl\\" + key;
  robot::SetRegistryString(HKEY_LOCAL_MACHINE, vendor, L"UpdateServer", server);
  // The sample's own second list (URLUpdateInfo) names no server of this
  // demo: one list only.
  robot::SetRegistryString(HKEY_LOCAL_MACHINE,
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + key,
            L"URLUpdateInfo", L"");
  DWORD pid = 0;
  Print(L"running " + dir + L"unstall.exe -g name=[" + key + L"] against " + server);
  HWND dialog = wizrobot::StartOperation(dir, L"-g name=[" + key + L"]",
                                         display + L" - 更新程序", &pid);
  if (!dialog) return Fail(L"the update dialog did not appear") == 0;
  ui::Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  std::vector<std::wstring> messages;
  bool asked = false, skinsOk = false;
  const bool done = robot::WaitUntil(
      [&] {
        if (HWND ask = robot::FindTopWindow(L"prismic驱动更新", robot::kDialogClass, pid);
            ask && !asked) {
          Say(L"the skin package question: answering Yes");
          asked = true;
          robot::Answer(ask, IDYES);
          skinsOk = RunSkins(dir, pid);
        }
        messages = robot::ListBoxLines(robot::Control(dialog, 1006));
        return !messages.empty() && messages.back() == L"更新完毕" &&
               robot::IsEnabled(robot::Control(dialog, IDOK));
      },
      120000, 200);
  HWND items = robot::Control(dialog, 1011);
  std::vector<std::vector<std::wstring>> columns;
  for (int c = 0; c < 5; ++c) columns.push_back(robot::ListViewColumn(items, c));
  bool allDone = !columns[0].empty();
  for (size_t r = 0; r < columns[0].size(); ++r) {
    std::wstring row = L"  row:";
    for (const auto& col : columns) row += L" | " + (r < col.size() ? col[r] : std::wstring());
    Print(row);
    allDone = allDone && columns[0][r] == L"完成";  // column 0: the row's state
  }
  for (const auto& m : messages) Print(L"  message: " + m);
  Shot(dialog, L"05-update-finished.png");
  robot::Command(dialog, IDCANCEL);
  if (!robot::WaitExit(process.get(), 30000)) return Fail(L"the update program did not end") == 0;
  if (!done) return Fail(L"the update check did not end with 更新完毕") == 0;
  if (!skinsOk) return Fail(L"the skin packages were not installed") == 0;
  return allDone;
}

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
  const std::wstring server = argc >= 6 ? argv[5] : L"";
  CreateDirectoryW(g_out.c_str(), nullptr);

  std::wstring dir;
  const bool installed = Install(setup, display, &dir) == 0;
  Print(installed ? L"install: OK (the product is installed in " + dir + L")"
                  : std::wstring(L"install: FAILED"));
  if (!installed) return 1;
  if (dir.back() != L'\\') dir += L'\\';

  bool updated = true;
  if (!server.empty()) {
    updated = RunUpdate(dir, key, display, server);
    Print(updated ? L"update: OK (every driver row ended 完成, then 更新完毕; skin package Alpha installed)"
                  : std::wstring(L"update: FAILED"));
  }

  Say(L"deleting config.exe from the install folder, then repairing");
  DeleteFileW((dir + L"config.exe").c_str());
  const bool repaired =
      RunInstalledOperation(dir, L"-r name=[" + key + L"]", wizrobot::RepairTitle(display),
                            L"06-repair-ready.png", L"07-repair-finished.png") == 0 &&
      Exists(dir + L"config.exe");
  Print(repaired ? L"repair: OK (config.exe is back)" : L"repair: FAILED");

  const bool removed =
      RunInstalledOperation(dir, L"-u name=[" + key + L"]", wizrobot::UninstallTitle(display),
                            L"08-uninstall-ready.png", L"09-uninstall-finished.png") == 0 &&
      robot::WaitUntil([&] { return !Exists(dir); }, 10000);
  Print(removed ? L"uninstall: OK (the install folder is gone)" : L"uninstall: FAILED");
  return updated && repaired && removed ? 0 : 1;
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
