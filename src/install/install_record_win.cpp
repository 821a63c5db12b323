#include "install/install_record_win.h"

#include <vector>

#include "base/format_win.h"
#include "base/keyname.h"
#include "state/cmdline_win.h"
#include "state/path_rules.h"
#include "state/setup_log_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

bool VendorKeyPath(const wchar_t* imeName, wchar_t (&path)[96]) {
  return imeName && kl::IsPlainKeyName(imeName) &&
         kl::Format(path, L"Software\\zorbl\\%s", imeName);
}

}  // namespace

RecordState ReadRemovalRecord(const wchar_t* imeName, kl::InstallJournal* out) {
  wchar_t path[96];
  if (!out || !VendorKeyPath(imeName, path)) return RecordState::kNone;
  ui::RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
    return RecordState::kNone;
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExW(key.get(), kRemovalRecordValue, nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return RecordState::kNone;
  if (rc != ERROR_SUCCESS || type != REG_BINARY || size == 0 || size > kl::kMaxRecordBytes)
    return RecordState::kBad;
  std::vector<uint8_t> data(size);
  DWORD got = size;
  rc = RegQueryValueExW(key.get(), kRemovalRecordValue, nullptr, &type, data.data(), &got);
  if (rc != ERROR_SUCCESS || type != REG_BINARY || got != size) return RecordState::kBad;
  return kl::ParseRemovalRecord(data.data(), data.size(), out) ? RecordState::kRead
                                                                : RecordState::kBad;
}

bool WriteRemovalRecord(const wchar_t* imeName, const kl::InstallJournal& run) {
  wchar_t path[96];
  if (!VendorKeyPath(imeName, path)) return false;
  kl::InstallJournal record;
  const RecordState earlier = ReadRemovalRecord(imeName, &record);
  if (earlier == RecordState::kBad) {
    setuplog::Write(L"the earlier removal record is unreadable: replaced");
    record = kl::InstallJournal();
  }
  record.Merge(run);
  const std::vector<uint8_t> bytes = kl::SerializeRemovalRecord(record);
  ui::RegKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
    setuplog::Write(L"removal record not written: the vendor key cannot be opened");
    return false;
  }
  if (bytes.empty()) {
    RegDeleteValueW(key.get(), kRemovalRecordValue);
    setuplog::Write(L"removal record not written: too large");
    return false;
  }
  const LONG rc = RegSetValueExW(key.get(), kRemovalRecordValue, 0, REG_BINARY, bytes.data(),
                                 static_cast<DWORD>(bytes.size()));
  if (rc != ERROR_SUCCESS) {
    RegDeleteValueW(key.get(), kRemovalRecordValue);
    setuplog::Writef(L"removal record not written (Windows error %ld)", rc);
    return false;
  }
  setuplog::Writef(L"removal record written: %u entries", static_cast<unsigned>(record.entries().size()));
  return true;
}

bool AddToRemovalRecord(const wchar_t* imeName, const wchar_t* path) {
  kl::InstallJournal record;
  if (!path || !kl::IsPlainFullPath(path) ||
      ReadRemovalRecord(imeName, &record) != RecordState::kRead)
    return false;
  // Only a file in the install folder the machine-wide key names.
  wchar_t key[96];
  wchar_t folder[kPathChars] = {};
  DWORD type = 0;
  DWORD size = sizeof(folder) - sizeof(wchar_t);
  ui::RegKey vendor;
  if (!VendorKeyPath(imeName, key) ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, vendor.out()) != ERROR_SUCCESS ||
      RegQueryValueExW(vendor.get(), L"KMEInstallPath", nullptr, &type,
                       reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  folder[size / sizeof(wchar_t) < kPathChars ? size / sizeof(wchar_t) : kPathChars - 1] = 0;
  if (!folder[0] || !kl::IsSameOrUnder(path, folder) || kl::IsSameOrUnder(folder, path))
    return false;
  kl::InstallJournal added;
  added.AddPath(kl::UndoKind::kPlacedFile, path);
  return WriteRemovalRecord(imeName, added);
}
