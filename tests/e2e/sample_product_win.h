// The sample product the end-to-end suites install (samples/): its names and
// where its install, its records and the setup's work folder land.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "../unit/install/install_test_util_win.h"
#include "base/text.h"

namespace sample {

constexpr wchar_t kKey[] = L"KeloSample";
constexpr wchar_t kDisplay[] = L"可乐示例输入法";
constexpr wchar_t kVendorKey[] = L"Software\\zorbl\\KeloSample";
// The update dialog's caption.
constexpr wchar_t kUpdateCaption[] = L"可乐示例输入法 - 更新程序";
const std::string kServerScript = std::string(KL_SOURCE_DIR) + "/tests/support/update_server.py";

inline std::wstring Record() { return std::wstring(insttest::kUninstallRoot) + kKey; }
inline std::wstring InstallDir() {
  return insttest::ShellFolder(CSIDL_PROGRAM_FILES) + kKey + L"\\";
}
inline std::wstring WorkFolder() { return insttest::TempFolder() + L"__KLIMEInstall\\"; }
inline std::string Narrow(const std::wstring& s) { return kl::ToUtf8(s.c_str()); }

}  // namespace sample
