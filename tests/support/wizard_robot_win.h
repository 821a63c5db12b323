// Driving the install wizard of the real setup program from another process:
// its captions and ids, finding controls on its child pages, and starting a
// setup executable up to the wizard. Used by the end-to-end tests and the
// demo driver.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "robot_win.h"

namespace wizrobot {

constexpr wchar_t kWorkingCopyTail[] = L"\\___kelo_install_base___.exe";
constexpr wchar_t kInstallCaption[] = L"立即安装(&S)";
constexpr wchar_t kDoneCaption[] = L"完成安装(&O)";
constexpr wchar_t kFailedCaption[] = L"退出安装(&O)";
constexpr int kTabs = 1019, kAccept = 1012, kDecline = 1013, kLink = 1002;
constexpr int kInstallDir = 1022, kBrowse = 1005, kOwner = 1004, kCompany = 1005;
constexpr int kProgressList = 1006, kProgressBar = 1008;

// The packed sample product next to this program's bin folder
// ("<build>\sample-setup.exe", or another file of that folder), full path.
std::wstring SampleSetup(const wchar_t* fileName = L"sample-setup.exe");

// "欢迎使用 <display> 安装程序"
std::wstring WizardCaption(const std::wstring& displayName);

// The first window below root (any depth) with control id `id` whose parent
// is a dialog page holding `siblingId` too (0: any parent). Null when none.
HWND FindDescendant(HWND root, int id, int siblingId = 0);
// Controls of the wizard's pages.
inline HWND DirEdit(HWND wizard) { return FindDescendant(wizard, kInstallDir); }
inline HWND BrowseButton(HWND wizard) { return FindDescendant(wizard, kBrowse, kInstallDir); }
inline HWND OwnerEdit(HWND wizard) { return FindDescendant(wizard, kOwner); }
inline HWND CompanyEdit(HWND wizard) { return FindDescendant(wizard, kCompany, kOwner); }
inline HWND ProgressList(HWND wizard) { return FindDescendant(wizard, kProgressList); }
inline HWND ProgressBar(HWND wizard) { return FindDescendant(wizard, kProgressBar); }

bool IsChecked(HWND button);
int BarPosition(HWND bar);

// Starts setup (its working copy takes over) and waits for the wizard with
// that caption. *copyPid gets the working copy's pid. Null on time-out.
HWND StartWizard(const std::wstring& setup, const std::wstring& caption, DWORD* copyPid,
                 DWORD timeoutMs = 60000, const robot::StartOptions& options = {});

// Waits until button 1 of the wizard shows one of the two closing captions;
// returns that caption ("" on time-out).
std::wstring WaitFinished(HWND wizard, DWORD timeoutMs);

// Starts program with arguments (its working copy takes over) and waits for
// the working copy's window with that caption; *copyPid gets the copy's pid.
HWND StartProgram(const std::wstring& program, const std::wstring& arguments,
                  const std::wstring& caption, DWORD* copyPid, DWORD timeoutMs = 60000,
                  const robot::StartOptions& options = {});

// The whole wizard as a user goes through it: accept the licence, install
// (answering Yes when the folder exists), finish. *lines (may be null) gets
// the progress lines. true when the install ended with "完成安装(&O)" and the
// program ended.
bool InstallThroughWizard(const std::wstring& setup, const std::wstring& displayName,
                          std::vector<std::wstring>* lines = nullptr,
                          const robot::StartOptions& options = {});

// ---- the installed product's uninstall and repair dialogs ----

constexpr wchar_t kUninstallCaption[] = L"卸载(&U)";
constexpr wchar_t kRepairCaption[] = L"修复(&R)";
constexpr wchar_t kOperationDone[] = L"完成(&O)";
inline std::wstring UninstallTitle(const std::wstring& display) { return display + L" - 卸载程序"; }
inline std::wstring RepairTitle(const std::wstring& display) { return display + L" - 修复程序"; }

// Starts "<installDir>unstall.exe arguments" ("-u name=[X]", "-r name=[X]")
// and waits for the dialog with that caption. Null on time-out.
HWND StartOperation(const std::wstring& installDir, const std::wstring& arguments,
                    const std::wstring& caption, DWORD* copyPid);
// Presses button 1 and waits until it reads "完成(&O)".
bool RunOperation(HWND dialog, DWORD timeoutMs = 120000);

}  // namespace wizrobot
