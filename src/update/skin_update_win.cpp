#include "update/skin_update_win.h"

#include <cwchar>

#include "app/cmdline_win.h"
#include "base/format_win.h"
#include "base/keyname.h"
#include "package/mapfile_win.h"
#include "ui/owners_win.h"
#include "update/config_ksc.h"

namespace {

constexpr wchar_t kSkinListPath[] = L"/_supports/klskin_prismic/updatelist.txt";

bool ReadString(HKEY key, const wchar_t* name, wchar_t* out, DWORD bytes) {
  DWORD size = bytes;
  out[0] = 0;
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size) !=
      ERROR_SUCCESS) {
    out[0] = 0;
    return false;
  }
  const DWORD chars = bytes / sizeof(wchar_t);
  const DWORD end = size / sizeof(wchar_t);
  out[end < chars ? end : chars - 1] = 0;
  return true;
}

}  // namespace

bool IsUsableSkinName(const wchar_t* name) {
  if (!name) return false;
  return kl::CheckFileName(kl::string16_view(name, wcslen(name))) == kl::NameProblem::None;
}

int KLSKINZIPUpdate::Init(const wchar_t* imeName) {
  if (!imeName || !imeName[0]) return 0;
  kl::Copy(imeName_, imeName);

  // The install folder: the per-user vendor key when it exists, else the
  // machine-wide one (which counts only with the value).
  bool found = false;
  {
    wchar_t vendorKey[128];
    kl::Format(vendorKey, L"Software\\zorbl\\%s", imeName_);
    ui::RegKey user;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, vendorKey, 0, KEY_READ, user.out()) == ERROR_SUCCESS) {
      found = ReadString(user.get(), L"KMEInstallPath", installDir_, sizeof installDir_);
    } else {
      ui::RegKey machine;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vendorKey, 0, KEY_READ, machine.out()) ==
          ERROR_SUCCESS)
        found = ReadString(machine.get(), L"KMEInstallPath", installDir_, sizeof installDir_);
    }
  }
  if (!found || !installDir_[0]) {
    installDir_[0] = 0;
    SendMessageLine(L"无法获取指定名称的输入法安装目录");
    return 0;
  }
  const size_t n = wcslen(installDir_);
  if (installDir_[n - 1] != L'\\') kl::Append(installDir_, L"\\");

  wchar_t config[kPathChars];
  bool haveConfig = false;
  if (GetProductDataFolder(imeName_, config) && kl::Append(config, L"config.ksc")) {
    MappedFileRecord* record = nullptr;
    const DWORD size = OpenMappedFile(0, &record, config);
    if (size && record) {
      klupdate::KscDrivers drivers;
      wchar_t recordName[64];
      kl::Copy(recordName, klupdate::kDefaultConfigRecord);
      if (klupdate::FindKscRecord(static_cast<const unsigned char*>(record->view), size,
                                  recordName, &drivers)) {
        kl::Copy(tableDriverName_, drivers.tableDriver);
        kl::Copy(imeDriverName_, drivers.mainDriver);
        kl::Copy(skinDriverName_, drivers.skinDriver);
        haveConfig = true;
      }
    }
    if (record) CloseMappedFile(record, 0);
  }
  if (!haveConfig) {
    SendMessageLine(L"无法获取指定名称的输入法的配置信息");
    return 0;
  }

  entries_ = std::make_unique<UpdateEntryList>();
  plan_ = std::make_unique<UpdateEntryList>();
  wchar_t server[512];
  GetUpdateServer(imeName_, server);
  wchar_t listUrl[512];
  kl::Format(listUrl, L"%s%s", server, kSkinListPath);
  FetchUpdateList(listUrl);
  return static_cast<int>(entries_->Count());
}

int KLSKINZIPUpdate::CheckUpdates() {
  SendMessageLine(L"开始Kelo驱动程序更新：");
  if (!plan_) plan_ = std::make_unique<UpdateEntryList>();
  if (!entries_) return static_cast<int>(plan_->Count());
  for (size_t i = 0; i < entries_->Count(); ++i) {
    const UpdateEntry* e = entries_->At(i);
    if (e->type != klupdate::kTypeSkinZip) continue;
    // The name becomes a file name in the download and skin folders.
    if (!IsUsableSkinName(e->name)) continue;
    auto item = std::make_unique<UpdateEntry>();
    item->type = klupdate::kTypeSkinZip;
    kl::Copy(item->name, e->name);
    GetLocalPath(item.get());
    item->localVersion = 0;
    item->serverVersion = e->serverVersion;
    kl::Copy(item->cabUrl, e->cabUrl);
    plan_->Append(std::move(item));
  }
  return static_cast<int>(plan_->Count());
}

bool KLSKINZIPUpdate::UpdateItem(UpdateEntry* item) {
  wchar_t line[128];
  kl::Format(line, L"更新：%s", item->name);
  SendMessageLine(line);
  if (!IsUsableSkinName(item->name)) {  // never a path of the server's making
    kl::Format(line, L"　　下载%s 失败", item->name);
    SendMessageLine(line);
    return false;
  }
  wchar_t target[260];
  if (!kl::Format(target, L"%s%s.zip", tempDir_, item->name) ||
      !DownloadFile(item->cabUrl, target)) {
    kl::Format(line, L"　　下载%s 失败", item->name);
    SendMessageLine(line);
    return false;
  }
  wchar_t pictureUrl[256];
  if (!kl::Format(pictureUrl, L"%s.png", item->cabUrl) ||
      !kl::Format(target, L"%s%s.png", tempDir_, item->name) ||
      !DownloadFile(pictureUrl, target)) {
    kl::Format(line, L"　　下载%s .png 失败", item->name);
    SendMessageLine(line);
    return false;
  }
  return true;
}
