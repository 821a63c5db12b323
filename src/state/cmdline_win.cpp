#include "state/cmdline_win.h"

#include <shlobj.h>

#include <cwchar>

#include "base/format_win.h"
#include "base/keyname.h"
#include "state/cmdline.h"
#include "state/setup_log_win.h"
#include "ui/owners_win.h"

static_assert(sizeof(InstallSession::imeName) / sizeof(wchar_t) == kImeNameChars,
              "the parser fills the record's key-name field");

namespace {

// Reads a string value of at most limitBytes into buffer (limitBytes is the
// buffer's size in bytes). The value's type is not checked. On any failure,
// including a value too large for the buffer, the buffer is left empty; a
// value that fills the buffer without a terminator is cut by one character.
bool ReadStringValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                     wchar_t* buffer, DWORD limitBytes) {
  buffer[0] = 0;
  ui::RegKey key;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
  DWORD size = limitBytes;
  LONG rc = RegQueryValueExW(key.get(), valueName, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(buffer), &size);
  const DWORD chars = limitBytes / sizeof(wchar_t);
  if (rc != ERROR_SUCCESS) {
    buffer[0] = 0;
    return false;
  }
  DWORD end = size / sizeof(wchar_t);
  buffer[end < chars ? end : chars - 1] = 0;
  return true;
}

// Same folder by name: letter case and trailing backslashes do not count.
bool SameFolderName(const wchar_t* a, const wchar_t* b) {
  int n = static_cast<int>(wcslen(a)), m = static_cast<int>(wcslen(b));
  while (n && a[n - 1] == L'\\') --n;
  while (m && b[m - 1] == L'\\') --m;
  return CompareStringOrdinal(a, n, b, m, TRUE) == CSTR_EQUAL;
}

// The per-user value that differed from the machine-wide one, for the log.
wchar_t g_ignoredUserFolder[kPathChars];

}  // namespace

void ParseCommandLine() {
  LaunchInfo& launch = *g_launch;
  InstallSession& session = *g_session;
  g_ignoredUserFolder[0] = 0;

  // The unattended value switches are blanked out first, so that the name
  // never takes in a "dir=[...]" or "log=[...]" that follows it.
  UnattendedSwitches unattended;
  kl::string16 line;
  ParseUnattendedSwitches(launch.commandLine, &unattended, &line);
  ParseModeSwitches(line.c_str(), &launch.mode, session.imeName);
  // The key name becomes registry keys and folder names: a name that is not
  // a plain key name is dropped before any of them is formed, which leaves
  // installDir empty and the operation ends without doing anything.
  if (launch.mode != kModeInstall &&
      !kl::IsPlainKeyNameField(session.imeName, kImeNameChars)) {
    session.imeName[0] = 0;
    return;
  }

  wchar_t uninstallKey[128];
  kl::Format(uninstallKey, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s",
             session.imeName);
  ReadStringValue(HKEY_LOCAL_MACHINE, uninstallKey, L"DisplayName", session.displayName,
                  sizeof(session.displayName));

  // The install folder decides what an elevated run removes, loads and
  // repairs from: only the machine-wide vendor key, which the elevated
  // install wrote, names it. A per-user value is noted, never used.
  wchar_t vendorKey[80];
  kl::Format(vendorKey, L"Software\\zorbl\\%s", session.imeName);
  ReadStringValue(HKEY_LOCAL_MACHINE, vendorKey, L"KMEInstallPath", session.installDir,
                  sizeof(session.installDir));
  wchar_t userValue[kPathChars];
  if (launch.mode != kModeInstall &&
      ReadStringValue(HKEY_CURRENT_USER, vendorKey, L"KMEInstallPath", userValue,
                      sizeof(userValue)) &&
      userValue[0] && !SameFolderName(userValue, session.installDir))
    kl::Copy(g_ignoredUserFolder, userValue);
}

void LogIgnoredUserInstallFolder() {
  if (g_ignoredUserFolder[0])
    setuplog::Writef(L"the per-user KMEInstallPath (%s) is ignored: the install folder is "
                     L"the machine-wide one (%s)",
                     g_ignoredUserFolder, g_session->installDir[0] ? g_session->installDir
                                                                   : L"none");
}

bool GetProductDataFolder(const wchar_t* imeName, wchar_t (&path)[kPathChars]) {
  path[0] = 0;
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0,
                              path))) {
    path[0] = 0;
    return false;
  }
  kl::Append(path, L"\\KeloIMEs\\");
  kl::Append(path, imeName);
  kl::Append(path, L"\\");
  return true;
}

const wchar_t* FileArgument(const wchar_t* commandLine) {
  const wchar_t* file = nullptr;
  for (const wchar_t* p = commandLine; (p = kl::Find<wchar_t>(p, L"file=")) != nullptr; p += 5)
    file = p + 5;
  return file;
}
