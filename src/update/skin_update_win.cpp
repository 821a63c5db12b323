#include "update/skin_update_win.h"

#include <cwchar>

#include "base/format_win.h"
#include "base/keyname.h"
#include "ui/owners_win.h"
#include "update/update_verify_win.h"

namespace {

constexpr wchar_t kSkinListPath[] = L"/_supports/klskin_prismic/updatelist.txt";

}  // namespace

bool IsUsableSkinName(const wchar_t* name) {
  if (!name) return false;
  return kl::CheckFileName(kl::string16_view(name, wcslen(name))) == kl::NameProblem::None;
}

int KLSKINZIPUpdate::Init(const wchar_t* imeName) {
  if (!InitProduct(imeName)) return 0;
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
    item->sha256 = e->sha256;
    item->pictureSha256 = e->pictureSha256;
    plan_->Append(std::move(item));
  }
  return static_cast<int>(plan_->Count());
}

bool KLSKINZIPUpdate::UpdateItem(UpdateEntry* item) {
  wchar_t line[128];
  kl::Format(line, L"更新：%s", item->name);
  SendMessageLine(line);
  auto failed = [&](const wchar_t* format) {
    kl::Format(line, format, item->name);
    SendMessageLine(line);
    return false;
  };
  if (!IsUsableSkinName(item->name)) return failed(L"　　下载%s 失败");  // never a server's path
  // Names and addresses that do not fit are failed downloads; a file the
  // list does not vouch for is deleted, never installed or shown.
  wchar_t target[260];
  if (!kl::Format(target, L"%s%s.zip", tempDir_, item->name)) return failed(L"　　下载%s 失败");
  if (!DownloadFile(item->cabUrl, target) || !DownloadMatchesDigest(target, item->sha256)) {
    DeleteFileW(target);
    return failed(L"　　下载%s 失败");
  }
  wchar_t pictureUrl[256];
  if (!kl::Format(pictureUrl, L"%s.png", item->cabUrl) ||
      !kl::Format(target, L"%s%s.png", tempDir_, item->name))
    return failed(L"　　下载%s .png 失败");
  if (!DownloadFile(pictureUrl, target) || !DownloadMatchesDigest(target, item->pictureSha256)) {
    DeleteFileW(target);
    return failed(L"　　下载%s .png 失败");
  }
  return true;
}
