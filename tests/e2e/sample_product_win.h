// The sample product the end-to-end suites install (samples/): its names and
// where its install, its records and the setup's work folder land.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <set>
#include <string>

#include "../unit/install/install_test_util_win.h"
#include "base/text.h"

namespace sample {

constexpr wchar_t kKey[] = L"KeloSample";
constexpr wchar_t kDisplay[] = L"可乐示例输入法";
constexpr wchar_t kVendorKey[] = L"Software\\zorbl\\KeloSample";
// The input method module in the system folder, and the sample's build of it.
constexpr wchar_t kModule[] = L"KeloSample.kelo.ime";
constexpr wchar_t kBuiltModule[] = L"KeloSample.ime";
// The update dialog's caption.
constexpr wchar_t kUpdateCaption[] = L"可乐示例输入法 - 更新程序";
const std::string kServerScript = std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py";

inline std::wstring Record() { return std::wstring(insttest::kUninstallRoot) + kKey; }
inline std::wstring InstallDir() {
  return insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
}
inline std::wstring WorkFolder() { return insttest::TempFolder() + L"__KLIMEInstall\\"; }
inline std::string Narrow(const std::wstring& s) { return kl::ToUtf8(s.c_str()); }
// The runs' private folders in the temporary folder ("__KLIME*"), by name.
inline std::set<std::wstring> RunFolders() {
  std::set<std::wstring> out;
  WIN32_FIND_DATAW found;
  HANDLE f = FindFirstFileW((insttest::TempFolder() + L"__KLIME*").c_str(), &found);
  if (f == INVALID_HANDLE_VALUE) return out;
  do out.insert(found.cFileName);
  while (FindNextFileW(f, &found));
  FindClose(f);
  return out;
}
// No run folder but those in before (an earlier run's may go meanwhile).
inline bool NoRunFolderBut(const std::set<std::wstring>& before) {
  for (const std::wstring& name : RunFolders())
    if (!before.count(name)) return false;
  return true;
}

// "-u name=[KeloSample]" and the like: a switch naming the sample.
inline std::wstring Named(const wchar_t* sw) { return std::wstring(sw) + L" name=[" + kKey + L"]"; }

// Removes everything an install of the sample into dir (with its backslash) leaves:
// files in every folder, records, layouts, links, pending replacements.
inline void RemoveInstall(const std::wstring& dir = InstallDir()) {
  insttest::Uninstall(kKey, kDisplay, dir, {L"KeloSample_sys.dll"}, {L"KeloSample_win.dat"},
                      {L"KeloSampleSans.ttf"}, {L"KeloSampleSans(TrueType)"});
}

}  // namespace sample
