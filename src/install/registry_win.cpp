// Registry records of an installed input method.
#include "install/registry_win.h"

#include "base/format_win.h"
#include "base/text.h"
#include "base/version.h"
#include "install/install_record_win.h"
#include "install/rollback_win.h"
#include "state/cmdline_win.h"
#include "state/setup_log_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

bool CreateKey(HKEY parent, const wchar_t* name, ui::RegKey& key) {
  return ::RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key.out(), nullptr) == ERROR_SUCCESS;
}

void WriteVendorKeyUnder(HKEY hive, const wchar_t* keyName, const wchar_t* installDir,
                         InstallContext& context) {
  wchar_t productPath[64];
  if (kl::Format(productPath, L"Software\\zorbl\\%s", keyName)) {
    // keyName ends with a backslash; the journal names the key without it.
    const size_t n = kl::StrLen(productPath);
    if (n && productPath[n - 1] == L'\\') productPath[n - 1] = 0;
    JournalRegistryKey(context, hive, productPath);
    JournalRegistryValue(context, hive, productPath, L"KMEInstallPath");
  }
  ui::RegKey software;
  if (::RegOpenKeyExW(hive, L"Software", 0, KEY_ALL_ACCESS, software.out()) != ERROR_SUCCESS)
    return;
  ui::RegKey vendor;
  if (!CreateKey(software.get(), L"zorbl", vendor)) return;
  ui::RegKey product;
  if (!CreateKey(vendor.get(), keyName, product)) return;
  const bool written = SetStringValue(product.get(), L"KMEInstallPath", installDir);
  setuplog::Writef(written ? L"registry key written: %s\\Software\\zorbl\\%s, value KMEInstallPath = %s"
                           : L"registry key not written: %s\\Software\\zorbl\\%s, value KMEInstallPath = %s",
                   hive == HKEY_LOCAL_MACHINE ? L"HKLM" : L"HKCU", keyName, installDir);
  // The owners close product, vendor, software in that order.
}

// The setup file the user started: what follows the "file=" that the relaunch
// appends as the last argument (the path is not quoted and takes the rest of
// the line, "]" included, as in a browser's "setup[1].exe"), or this module.
const wchar_t* InstallSource(const LaunchInfo& launch) {
  const wchar_t* file = FileArgument(launch.commandLine);
  return file ? file : launch.modulePath;
}

}  // namespace

bool SetStringValue(HKEY key, const wchar_t* name, const wchar_t* data) {
  const DWORD bytes = static_cast<DWORD>((kl::StrLen(data) + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes) ==
         ERROR_SUCCESS;
}

void WriteVendorKey(InstallContext& context) {
  wchar_t keyName[40];
  kl::Format(keyName, L"%s\\", context.header->imeName);
  WriteVendorKeyUnder(HKEY_LOCAL_MACHINE, keyName, context.installDir, context);
  WriteVendorKeyUnder(HKEY_CURRENT_USER, keyName, context.installDir, context);
}

bool WriteUninstallRecord(InstallContext& context, const wchar_t* userName,
                          const wchar_t* company) {
  const PackageHeader& h = *context.header;
  const wchar_t* dir = context.installDir;

  ui::RegKey uninstall;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, uninstall.out()) !=
      ERROR_SUCCESS)
    return true;
  wchar_t keyName[40];
  kl::Format(keyName, L"%s", h.imeName);
  wchar_t recordPath[128];
  const bool journaled = kl::Format(recordPath, L"%s\\%s", kUninstallKey, keyName);
  if (journaled) JournalRegistryKey(context, HKEY_LOCAL_MACHINE, recordPath);
  ui::RegKey product;
  if (!CreateKey(uninstall.get(), keyName, product)) {
    setuplog::Writef(L"registry key not written: HKLM\\%s\\%s", kUninstallKey, keyName);
    return true;
  }
  setuplog::Writef(L"registry key written: HKLM\\%s\\%s", kUninstallKey, keyName);

  wchar_t displayIcon[kPathChars];
  wchar_t helpLink[kPathChars];
  wchar_t uninstallString[kPathChars];
  wchar_t modifyPath[kPathChars];
  kl::Format(displayIcon, L"%sunstall.exe", dir);
  if (h.helpLink[0])
    kl::Format(helpLink, L"%s", h.helpLink);
  else
    kl::Format(helpLink, L"%smain.chm", dir);
  // Quoted: Windows runs these lines itself, and an unquoted path with spaces
  // would be tried at every space first ("C:\Kelo.exe" for "C:\Kelo 测试\...").
  kl::Format(uninstallString, L"\"%sUnstall.exe\" -u name=[%s]", dir, h.imeName);
  kl::Format(modifyPath, L"\"%sUnstall.exe\" -r name=[%s]", dir, h.imeName);
  wchar_t quietUninstall[kPathChars];
  kl::Format(quietUninstall, L"\"%sUnstall.exe\" -s -u name=[%s]", dir, h.imeName);
  SYSTEMTIME today;
  ::GetLocalTime(&today);
  wchar_t installDate[12];
  kl::Format(installDate, L"%04u%02u%02u", today.wYear, today.wMonth, today.wDay);

  // Fields of the header are bounded arrays; copy each so that a field filled
  // to its last unit is still read only within the record.
  wchar_t field[260];
  auto put = [&](const wchar_t* name, const wchar_t* data) {
    if (journaled) JournalRegistryValue(context, HKEY_LOCAL_MACHINE, recordPath, name);
    // A value that cannot be set is skipped.
    if (SetStringValue(product.get(), name, data))
      setuplog::Writef(L"  value %s = %s", name, data);
    else
      setuplog::Writef(L"  value %s not written", name);
  };
  auto putField = [&](const wchar_t* name, const wchar_t* data, size_t units) {
    const size_t n = kl::StrLen(data, units < 259 ? units : 259);
    for (size_t i = 0; i < n; ++i) field[i] = data[i];
    field[n] = 0;
    put(name, field);
  };
  put(L"RegOwner", userName ? userName : L"");
  put(L"RegCompany", company ? company : L"");
  putField(L"DisplayName", h.displayName, 44);
  putField(L"Comments", h.comments, 20);
  putField(L"DisplayVersion", h.displayVersion, 40);
  put(L"DisplayIcon", displayIcon);
  putField(L"Contact", h.contact, 40);
  putField(L"Publisher", h.publisher, 40);
  putField(L"URLInfoAbout", h.urlInfoAbout, 256);
  putField(L"URLUpdateInfo", h.urlUpdateInfo, 256);
  put(L"HelpLink", helpLink);
  putField(L"HelpTelephone", h.helpTelephone, 40);
  put(L"UninstallString", uninstallString);
  put(L"InstallLocation", dir);
  put(L"InstallSource", InstallSource(*context.launch));
  put(L"ModifyPath", modifyPath);
  // What "Apps & features" and deployment tools read besides.
  put(L"QuietUninstallString", quietUninstall);
  put(L"InstallDate", installDate);
  wchar_t version[40];
  kl::CopyN(version, 40, h.displayVersion);
  const kl::Version v = kl::VersionFromText(version);
  auto putNumber = [&](const wchar_t* name, DWORD data) {
    if (journaled) JournalRegistryValue(context, HKEY_LOCAL_MACHINE, recordPath, name);
    if (::RegSetValueExW(product.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                         sizeof data) == ERROR_SUCCESS)
      setuplog::Writef(L"  value %s = %lu", name, data);
    else
      setuplog::Writef(L"  value %s not written", name);
  };
  putNumber(L"VersionMajor", static_cast<DWORD>((v >> 48) & 0xFFFF));
  putNumber(L"VersionMinor", static_cast<DWORD>((v >> 32) & 0xFFFF));
  return true;
}

void WriteEstimatedSize(const wchar_t* imeName) {
  kl::InstallJournal record;
  wchar_t recordPath[128];
  if (ReadRemovalRecord(imeName, &record) != RecordState::kRead ||
      !kl::Format(recordPath, L"%s\\%s", kUninstallKey, imeName))
    return;
  const kl::RemovalPlan plan = kl::PlanRemoval(record, L"");
  uint64_t bytes = 0;
  for (const auto* list : {&plan.files, &plan.fontFiles})
    for (const kl::string16& file : *list) {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (::GetFileAttributesExW(file.c_str(),
                                 GetFileExInfoStandard, &data))
        bytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  const DWORD kb = static_cast<DWORD>((bytes + 1023) / 1024);
  ui::RegKey product;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, recordPath, 0, KEY_SET_VALUE, product.out()) ==
          ERROR_SUCCESS &&
      ::RegSetValueExW(product.get(), L"EstimatedSize", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&kb), sizeof kb) == ERROR_SUCCESS)
    setuplog::Writef(L"  value EstimatedSize = %lu (KB)", kb);
}
