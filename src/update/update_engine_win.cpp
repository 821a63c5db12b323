#include "update/update_engine_win.h"

#include <cstdio>
#include <cwchar>
#include <deque>
#include <string>
#include <vector>

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "state/cmdline_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "ui/owners_win.h"
#include "update/config_ksc.h"
#include "update/update_verify_win.h"
#include "update/version_res_win.h"

#ifndef KL_UPDATE_SERVER
#define KL_UPDATE_SERVER "https://update.zorbl.example"
#endif

namespace {

constexpr wchar_t kUserAgent[] = L"Mavren/1.0";
constexpr wchar_t kDriverListPath[] = L"/_supports/klime_drives/UpdateList.txt";
constexpr wchar_t kDefaultServer[] = L"" KL_UPDATE_SERVER;
constexpr wchar_t kServerValue[] = L"UpdateServer";

std::atomic<uint32_t> g_downloaded{0};

bool EndsWithBackslash(const wchar_t* s) {
  const size_t n = wcslen(s);
  return n && s[n - 1] == L'\\';
}

template <size_t N>
void AddBackslash(wchar_t (&s)[N]) {
  if (!EndsWithBackslash(s)) kl::Append(s, L"\\");
}

// Reads a string value into out (bytes = sizeof out); true when read. The
// type is not examined; the text is always terminated.
bool ReadValue(HKEY key, const wchar_t* name, wchar_t* out, DWORD bytes) {
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

// A whole file of at most maxBytes into out; false when it cannot be read
// or is larger.
bool ReadWholeFile(const wchar_t* path, size_t maxBytes, std::vector<unsigned char>* out) {
  ui::FileHandle f(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!f || !GetFileSizeEx(f.get(), &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > maxBytes)
    return false;
  out->resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  return out->empty() ||
         (ReadFile(f.get(), out->data(), static_cast<DWORD>(out->size()), &got, nullptr) &&
          got == out->size());
}

bool SameNameNoCase(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// A name that becomes a file name in our folder: no path syntax.
bool IsPlainFileName(const wchar_t* name) {
  if (!name[0] || !wcscmp(name, L".") || !wcscmp(name, L"..")) return false;
  for (const wchar_t* p = name; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':' || *p < 32) return false;
  return true;
}

size_t AnsiToWide(const unsigned char* bytes, size_t n, wchar_t* out, size_t cap) {
  if (!n || !cap || n > INT32_MAX || cap > INT32_MAX) return 0;
  const int r = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(bytes),
                                    static_cast<int>(n), out, static_cast<int>(cap));
  return r > 0 ? static_cast<size_t>(r) : 0;
}

}  // namespace

uint32_t DownloadedBytesTotal() { return g_downloaded.load(); }

// ---- READTEXT -----------------------------------------------------------------

bool READTEXT::Load(const wchar_t* path) {
  text_ = klupdate::DecodedText();
  kl::Copy(path_, path);
  MappedFileRecord* record = nullptr;
  const DWORD size = OpenMappedFile(0, &record, path);
  if (size && record) {
    text_ = klupdate::DecodeText(static_cast<const unsigned char*>(record->view), size, AnsiToWide);
    CloseMappedFile(record, 0);
    return true;
  }
  if (record) CloseMappedFile(record, 0);
  // An empty file cannot be mapped: read it through a stream.
  FILE* f = _wfopen(path, L"r");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::rewind(f);
  std::vector<unsigned char> bytes(n > 0 ? static_cast<size_t>(n) : 0);
  const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  text_ = klupdate::DecodeText(got ? bytes.data() : nullptr, got, AnsiToWide);
  return true;
}

void READTEXT::Decode(const wchar_t* path, const unsigned char* bytes, size_t size) {
  kl::Copy(path_, path);
  text_ = klupdate::DecodeText(size ? bytes : nullptr, size, AnsiToWide);
}

// ---- server address -------------------------------------------------------------

void GetUpdateServer(const wchar_t* imeName, wchar_t (&out)[512]) {
  out[0] = 0;
  // Administrators' places only: the policy key (which no uninstall
  // removes), then the vendor key. A per-user value would let any program
  // of the user pick the files an elevated update installs.
  const wchar_t* const keys[] = {L"Software\\Policies\\zorbl\\%s", L"Software\\zorbl\\%s"};
  for (const wchar_t* format : keys) {
    wchar_t keyPath[128];
    if (!kl::Format(keyPath, format, imeName ? imeName : L"")) continue;
    ui::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.out()) != ERROR_SUCCESS)
      continue;
    if (ReadValue(key.get(), kServerValue, out, sizeof out) && out[0]) break;
    out[0] = 0;
  }
  if (!out[0]) kl::Copy(out, kDefaultServer);
  for (size_t n = wcslen(out); n && out[n - 1] == L'/'; --n) out[n - 1] = 0;
}

// ---- engine -------------------------------------------------------------------

KLIMEUpdate::~KLIMEUpdate() = default;

void KLIMEUpdate::SendMessageLine(const wchar_t* text) {
  setuplog::Write(text);  // what the dialog shows, the log keeps
  if (!callbacks_.message) return;
  UpdateStatus s = {text, 0};
  callbacks_.message(&s, callbacks_.user);
}

void KLIMEUpdate::SendProgress(uint32_t amount) {
  if (!callbacks_.progress) return;
  UpdateStatus s = {nullptr, amount};
  callbacks_.progress(&s, callbacks_.user);
}

void KLIMEUpdate::SetDownloadFolder(const wchar_t* folder) { kl::Copy(downloadFolder_, folder); }

bool KLIMEUpdate::Prepare(const UpdateCallbacks& callbacks) {
  callbacks_ = callbacks;
  systemDir_[0] = 0;
  if (!GetSystemDirectoryW(systemDir_, 260) || !systemDir_[0]) {
    systemDir_[0] = 0;
    SendMessageLine(L"获取系统路径失败");
    return false;
  }
  AddBackslash(systemDir_);
  // Downloads are unpacked and rewritten before they are copied into the
  // system and install folders: never in the user's temporary folder, which
  // any program of the user may write. Without a folder of the run's own
  // there is no place to work.
  if (!downloadFolder_[0]) {
    tempDir_[0] = 0;
    SendMessageLine(L"获取系统临时路径失败");
    return false;
  }
  kl::Copy(tempDir_, downloadFolder_);
  AddBackslash(tempDir_);
  CreateDirectoryW(tempDir_, nullptr);
  return true;
}

void KLIMEUpdate::Cancel() { cancelled_.store(true); }

namespace {

// One transfer's network side. The blocking WinINet calls run on a reader
// thread of their own that hands every read to the downloading thread; the
// downloading thread writes the file and reports progress. A cancelled
// download is abandoned by the downloading thread at once (it closes and
// deletes its file), while a reader stuck on a silent server keeps only this
// record alive and ends with its connection.
struct NetTransfer {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  std::wstring url;
  bool answered = false;  // the status line has been read
  bool statusOk = false;  // "200"
  DWORD httpStatus = 0;   // the answer's status code, 0 when none came
  DWORD error = 0;        // the Windows error when no answer came
  bool hasLength = false;
  DWORD announced = 0;
  std::deque<std::vector<unsigned char>> reads;  // one entry per read, the last one empty
  bool ended = false;     // no more reads will come
  bool broken = false;    // a read failed
  bool abandoned = false;
};

// At most 2 MB wait between the network and the file.
constexpr size_t kMaxQueuedReads = 8;
// One read takes what the transfer has, up to this much: fewer, larger reads
// halve the time a download spends outside the network.
constexpr DWORD kReadBlock = 256 * 1024;
// Progress goes to the dialog at most this often, and once at the end.
constexpr ULONGLONG kProgressEveryMs = 50;

// A transfer's lock held for a scope (plain system primitives: the program
// carries no thread library).
class Hold {
 public:
  explicit Hold(NetTransfer& t) : t_(t) { AcquireSRWLockExclusive(&t_.lock); }
  ~Hold() {
    if (held_) ReleaseSRWLockExclusive(&t_.lock);
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  void Unlock() {
    ReleaseSRWLockExclusive(&t_.lock);
    held_ = false;
  }
  // Until a change is announced or ms milliseconds have passed.
  void Wait(DWORD ms) { SleepConditionVariableSRW(&t_.changed, &t_.lock, ms, 0); }
  void Announce() { WakeAllConditionVariable(&t_.changed); }

 private:
  NetTransfer& t_;
  bool held_ = true;
};

DWORD WINAPI NetReaderMain(LPVOID param) {
  std::shared_ptr<NetTransfer> t(std::move(*static_cast<std::shared_ptr<NetTransfer>*>(param)));
  delete static_cast<std::shared_ptr<NetTransfer>*>(param);
  auto finish = [&](bool statusOk, bool broken) {
    Hold hold(*t);
    if (!t->answered) {
      t->answered = true;
      t->statusOk = statusOk;
    }
    t->broken = broken;
    t->ended = true;
    hold.Announce();
  };
  auto noAnswer = [&] {
    const DWORD error = GetLastError();
    Hold hold(*t);
    t->error = error;
  };
  HINTERNET root = InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!root) {
    noAnswer();
    finish(false, false);
    return 0;
  }
  HINTERNET request =
      InternetOpenUrlW(root, t->url.c_str(), nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (!request) noAnswer();
  wchar_t status[5] = {};
  DWORD statusBytes = sizeof status;
  if (request && HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &statusBytes, nullptr)) {
    Hold hold(*t);
    t->httpStatus = static_cast<DWORD>(wcstoul(status, nullptr, 10));
  }
  if (!request || wcscmp(status, L"200") != 0) {
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(root);
    finish(false, false);
    return 0;
  }
  {
    DWORD announced = 0;
    DWORD bytes = sizeof announced;
    const bool hasLength = HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                          &announced, &bytes, nullptr) != FALSE;
    Hold hold(*t);
    t->answered = true;
    t->statusOk = true;
    t->hasLength = hasLength;
    t->announced = announced;
    hold.Announce();
  }
  std::vector<unsigned char> buffer(kReadBlock);
  bool broken = false;
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer.data(), kReadBlock, &got)) {
      broken = true;
      got = 0;
    }
    Hold hold(*t);
    while (!t->abandoned && t->reads.size() >= kMaxQueuedReads) hold.Wait(INFINITE);
    if (t->abandoned) break;
    t->reads.emplace_back(buffer.begin(), buffer.begin() + got);
    if (t->reads.size() == 1) hold.Announce();  // the downloader may be waiting
    if (broken || got == 0) break;
  }
  InternetCloseHandle(request);
  InternetCloseHandle(root);
  finish(true, broken);
  return 0;
}

}  // namespace

bool KLIMEUpdate::DownloadFile(const wchar_t* url, const wchar_t* target, uint64_t maxBytes) {
  if (GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES && !DeleteFileW(target)) {
    setuplog::Failure(L"download: removing the earlier file", GetLastError());
    return false;
  }
  if (cancelled_.load()) return false;
  // Lists, cabinets, skins and pictures come over the web only: any other
  // scheme (ftp:, file:, a bare path) fails here, before any request.
  if (!url || !klupdate::IsWebUrl(kl::string16_view(url, wcslen(url)))) {
    setuplog::Writef(L"download refused: %s (only http and https are fetched)", url ? url : L"");
    return false;
  }
  DownloadOutcome outcome;
  const bool ok = Download(url, target, maxBytes, &outcome);
  if (ok)
    setuplog::Writef(L"download: %s: HTTP %lu, %llu bytes", url, outcome.httpStatus,
                     static_cast<unsigned long long>(outcome.bytes));
  else if (outcome.httpStatus)
    setuplog::Writef(L"download failed: %s: HTTP %lu, %llu bytes%s", url, outcome.httpStatus,
                     static_cast<unsigned long long>(outcome.bytes),
                     outcome.tooLarge ? L" (larger than allowed)" : L"");
  else
    setuplog::Writef(L"download failed: %s (Windows error %lu)", url, outcome.error);
  return ok;
}

bool KLIMEUpdate::Download(const wchar_t* url, const wchar_t* target, uint64_t maxBytes,
                           DownloadOutcome* outcome) {

  auto t = std::make_shared<NetTransfer>();
  t->url = url ? url : L"";
  auto* param = new std::shared_ptr<NetTransfer>(t);
  HANDLE reader = CreateThread(nullptr, 0, &NetReaderMain, param, 0, nullptr);
  if (!reader) {
    delete param;
    return false;
  }
  CloseHandle(reader);  // it ends by itself; t keeps what it needs
  auto abandon = [&t] {
    Hold hold(*t);
    t->abandoned = true;
    hold.Announce();
  };
  // Waits for pred, checking for cancellation every 100 ms.
  auto waitFor = [&](Hold& hold, auto pred) {
    while (!pred()) {
      if (cancelled_.load()) return false;
      hold.Wait(100);
    }
    return true;
  };

  {
    Hold hold(*t);
    const bool answered = waitFor(hold, [&] { return t->answered; });
    outcome->httpStatus = t->httpStatus;
    outcome->error = t->error;
    outcome->tooLarge = t->hasLength && t->announced > maxBytes;
    if (!answered || !t->statusOk || outcome->tooLarge) {
      hold.Unlock();
      abandon();
      return false;  // no file was created
    }
  }
  FILE* out = _wfopen(target, L"wb");
  if (!out) {
    abandon();
    return false;
  }
  uint64_t received = 0;
  bool failed = false;
  bool finished = false;
  bool hasLength = false;
  DWORD announced = 0;
  std::deque<std::vector<unsigned char>> batch;
  ULONGLONG lastReport = 0;
  uint32_t reported = 0;
  while (!failed && !finished) {
    {
      // Every read queued so far, taken at once.
      Hold hold(*t);
      if (!waitFor(hold, [&] { return !t->reads.empty() || t->ended; }) || t->reads.empty()) {
        failed = true;  // cancelled, or ended without its final read
        break;
      }
      batch.swap(t->reads);
      hasLength = t->hasLength;
      announced = t->announced;
      hold.Announce();  // room again for a reader waiting on a full queue
    }
    for (const auto& block : batch) {
      const uint32_t got = static_cast<uint32_t>(block.size());
      if (received + got > maxBytes) {
        outcome->tooLarge = true;
        failed = finished = true;
        break;
      }
      if (got && std::fwrite(block.data(), 1, got, out) != got) failed = true;
      received += got;
      g_downloaded.fetch_add(got);
      // The same running total as ever, sent less often: a window message
      // per read cost more than the read.
      const ULONGLONG now = GetTickCount64();
      if (got && now - lastReport >= kProgressEveryMs) {
        lastReport = now;
        reported = g_downloaded.load();
        SendProgress(reported);
      }
      if (failed || got == 0) {
        finished = true;
        break;
      }
    }
    batch.clear();
  }
  if (std::fclose(out) != 0) failed = true;
  // The last count, once, unless the last report already gave it.
  if (!failed && (!lastReport || reported != g_downloaded.load())) SendProgress(g_downloaded.load());
  bool broken = false;
  {
    Hold hold(*t);
    if (!failed) waitFor(hold, [&] { return t->ended; });
    broken = t->broken || !t->ended;
  }
  abandon();
  outcome->bytes = received;
  if (failed || broken || cancelled_.load() || (hasLength && received < announced)) {
    // A truncated file is never used, and no earlier copy survives.
    DeleteFileW(target);
    return false;
  }
  return true;
}

void KLIMEUpdate::FetchUpdateList(const wchar_t* url) {
  wchar_t local[260];
  kl::Format(local, L"%s_klime_update_list.txt", tempDir_);
  setuplog::Writef(L"update list: %s", url);
  if (!DownloadFile(url, local, kMaxListBytes)) {
    ++listFailures_;
    wchar_t line[256];
    kl::Format(line, L"无法访问的URL：%s", url);
    SendMessageLine(line);
    return;
  }
  READTEXT reader;
  if (UpdateKeyBuiltIn()) {
    // The bytes that are verified are the bytes that are parsed.
    std::vector<unsigned char> bytes;
    wchar_t sigUrl[520], sigLocal[270];
    if (!ReadWholeFile(local, kMaxListBytes, &bytes) ||
        !kl::Format(sigUrl, L"%s.sig", url) || !kl::Format(sigLocal, L"%s.sig", local) ||
        !DownloadFile(sigUrl, sigLocal, kMaxSignatureBytes) ||
        !VerifyListSignature(bytes.data(), bytes.size(), sigLocal)) {
      DeleteFileW(local);
      ++listFailures_;
      setuplog::Writef(L"update list refused: %s (its signature does not verify)", url);
      wchar_t line[256];
      kl::Format(line, L"无法访问的URL：%s", url);
      SendMessageLine(line);
      SendMessageLine(L"  更新列表的签名验证失败！");
      return;
    }
    setuplog::Write(L"  signature verified");
    reader.Decode(local, bytes.data(), bytes.size());
  } else if (!reader.Load(local)) {
    ++listFailures_;
    setuplog::Writef(L"update list unreadable: %s", url);
    return;
  } else {
    setuplog::Write(L"  unsigned (this setup has no publisher key)");
  }
  if (!entries_) entries_ = std::make_unique<UpdateEntryList>();
  klupdate::ParseUpdateList(
      reader.decoded(), entries_.get(),
      [](void* self) { static_cast<KLIMEUpdate*>(self)->SendMessageLine(L"未知的更新标识！"); },
      this);
}

bool KLIMEUpdate::InitProduct(const wchar_t* imeName) {
  if (!imeName || !imeName[0]) return false;
  kl::Copy(imeName_, imeName);

  // Only the machine-wide vendor key, which the elevated install wrote,
  // names the folder whose files the update replaces; a per-user value is
  // never read. A key without the value does not count as found.
  bool found = false;
  {
    wchar_t vendorKey[128];
    kl::Format(vendorKey, L"Software\\zorbl\\%s", imeName_);
    ui::RegKey machine;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vendorKey, 0, KEY_READ, machine.out()) ==
        ERROR_SUCCESS)
      found = ReadValue(machine.get(), L"KMEInstallPath", installDir_, sizeof installDir_);
  }
  if (!found || !installDir_[0]) {
    installDir_[0] = 0;
    SendMessageLine(L"无法获取指定名称的输入法安装目录");
    return false;
  }
  AddBackslash(installDir_);

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
    return false;
  }

  entries_ = std::make_unique<UpdateEntryList>();
  plan_ = std::make_unique<UpdateEntryList>();
  return true;
}

int KLIMEUpdate::Init(const wchar_t* imeName) {
  if (!InitProduct(imeName)) return 0;

  wchar_t server[512];
  GetUpdateServer(imeName_, server);
  wchar_t listUrl[512];
  kl::Format(listUrl, L"%s%s", server, kDriverListPath);
  FetchUpdateList(listUrl);

  wchar_t uninstallKey[260];
  kl::Format(uninstallKey, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s",
             imeName_);
  ui::RegKey record;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKey, 0, KEY_READ, record.out()) ==
      ERROR_SUCCESS) {
    wchar_t extra[256];
    if (ReadValue(record.get(), L"URLUpdateInfo", extra, sizeof extra) && extra[0])
      FetchUpdateList(extra);
  }
  return static_cast<int>(entries_->Count());
}

int KLIMEUpdate::CheckUpdates() {
  SendMessageLine(L"开始Kelo驱动程序更新：");
  if (!plan_) plan_ = std::make_unique<UpdateEntryList>();
  if (!entries_) return static_cast<int>(plan_->Count());
  for (size_t i = 0; i < entries_->Count(); ++i) {
    const UpdateEntry* e = entries_->At(i);
    const wchar_t* expected = nullptr;
    switch (e->type) {
      case klupdate::kTypeKmeDrive: expected = tableDriverName_; break;
      case klupdate::kTypeSkinDrive: expected = skinDriverName_; break;
      case klupdate::kTypeImeMain: expected = imeDriverName_; break;
      case klupdate::kTypeConfigDrive: expected = L"_config_"; break;
      case klupdate::kTypeInstallBaseDrive: expected = L"_install_base_"; break;
      default: continue;
    }
    // A driver the configuration leaves unnamed is never planned.
    if (!expected[0] || !SameNameNoCase(e->name, expected)) continue;
    auto item = std::make_unique<UpdateEntry>();
    item->type = e->type;
    kl::Copy(item->name, expected);
    GetLocalPath(item.get());
    item->localVersion = GetFileVersionNumber(item->path);
    item->serverVersion = e->serverVersion;
    kl::Copy(item->cabUrl, e->cabUrl);
    item->sha256 = e->sha256;
    wchar_t local[40], offered[40];
    klupdate::VersionToText(item->localVersion, local);
    klupdate::VersionToText(item->serverVersion, offered);
    setuplog::Writef(L"planned: %s (%s): installed %s, server %s%s", item->name,
                     klupdate::TypeDisplayName(item->type), local, offered,
                     item->localVersion < item->serverVersion ? L"" : L" (up to date)");
    plan_->Append(std::move(item));
  }
  return static_cast<int>(plan_->Count());
}

void KLIMEUpdate::GetLocalPath(UpdateEntry* item) {
  wchar_t* path = item->path;
  path[0] = 0;
  switch (item->type) {
    case klupdate::kTypeKmeDrive: kl::FormatN(path, 260, L"%smb.dll", installDir_); break;
    case klupdate::kTypeSkinDrive: kl::FormatN(path, 260, L"%sskin.dll", installDir_); break;
    case klupdate::kTypeImeMain:
      kl::FormatN(path, 260, L"%s%s.kelo.ime", systemDir_, imeName_);
      break;
    case klupdate::kTypeImeGenCab:
      // The generator's folder is known only from the user's own registry
      // ("LastRunPath" under HKCU): an elevated update never writes where a
      // per-user value points, so this item has no local file here.
      break;
    case klupdate::kTypeUpdate: kl::CopyN(path, 260, installDir_); break;
    case klupdate::kTypeConfigDrive: kl::FormatN(path, 260, L"%sconfig.exe", installDir_); break;
    case klupdate::kTypeInstallBaseDrive:
      kl::FormatN(path, 260, L"%sunstall.exe", installDir_);
      break;
    case klupdate::kTypeSkinZip: {
      wchar_t folder[260];
      kl::Format(folder, L"%sprismic\\", installDir_);
      const DWORD a = GetFileAttributesW(folder);
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
        kl::FormatN(path, 260, L"%sprismic\\%s.zip", installDir_, item->name);
      else
        kl::FormatN(path, 260, L"%sskin.zip", installDir_);
      break;
    }
    default: break;
  }
}

void CabinetFileName(const UpdateEntry& item, wchar_t (&out)[64]) {
  switch (item.type) {
    case klupdate::kTypeKmeDrive:
    case klupdate::kTypeSkinDrive: kl::Format(out, L"%s.dll", item.name); break;
    case klupdate::kTypeImeMain: kl::Format(out, L"%s.ime", item.name); break;
    case klupdate::kTypeConfigDrive:
    case klupdate::kTypeInstallBaseDrive: kl::Format(out, L"%s.exe", item.name); break;
    default: kl::Format(out, L"%s", item.name); break;
  }
}

bool KLIMEUpdate::UpdateItem(UpdateEntry* item) {
  wchar_t line[128];
  kl::Format(line, L"更新：%s", item->name);
  SendMessageLine(line);

  wchar_t cabinet[260];
  kl::Format(cabinet, L"%s_klautodownload.cab", tempDir_);
  const bool fetched = DownloadFile(item->cabUrl, cabinet);
  const bool vouched = fetched && DownloadMatchesDigest(cabinet, item->sha256);
  if (fetched) {
    const bool given = item->sha256.state != klupdate::Digest::kNone;
    if (vouched)
      setuplog::Write(given ? L"  digest: matches the list" : L"  digest: none given");
    else
      setuplog::Writef(L"  digest: refused (%s)",
                       given ? L"differs from the list" : L"the signed list gives none");
  }
  if (!vouched) {
    DeleteFileW(cabinet);  // a cabinet the list does not vouch for is never opened
    kl::Format(line, L"　　下载%s 失败", item->name);
    SendMessageLine(line);
    return false;
  }

  Cabinet::CExtract extractor;
  if (!extractor.Initialize()) {
    SendMessageLine(L"  创建FDIContext失败！");
    return false;
  }
  auto finish = [&extractor] {
    if (extractor.Destroy()) extractor.ReleaseThreadSlot();
  };
  wchar_t inCabinet[64];
  CabinetFileName(*item, inCabinet);
  if (!IsPlainFileName(inCabinet) || !extractor.Extract(cabinet, tempDir_)) {
    SendMessageLine(L"  解压文件失败！");
    finish();
    return false;
  }
  wchar_t fresh[260];
  kl::Format(fresh, L"%s%s", tempDir_, inCabinet);

  bool ok = true;
  if (item->type == klupdate::kTypeSkinDrive) {
    ok = CopyResource(fresh, item->path, RT_BITMAP, 103) &&
         CopyResource(fresh, item->path, RT_BITMAP, 104);
  } else if (item->type == klupdate::kTypeImeMain ||
             item->type == klupdate::kTypeInstallBaseDrive) {
    ok = CopyResource(fresh, item->path, RT_ICON, 1);
  }
  for (const wchar_t* key : {L"FileDescription", L"CompanyName"}) {
    if (!ok) break;
    wchar_t value[256];
    GetVersionString(item->path, key, value, 256);
    ok = SetVersionString(fresh, key, value);
  }
  if (!ok) {
    SendMessageLine(L"  替换文件资源信息失败！");
    finish();
    return false;
  }
  if (!CopyFileW(fresh, item->path, FALSE)) {
    const DWORD error = GetLastError();
    if (replaceAtRestart_ &&
        (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED) &&
        ScheduleReplacement(fresh, item->path)) {
      restartNeeded_ = true;
      setuplog::Writef(L"file in use, replaced at the next restart: %s", item->path);
      finish();
      return true;
    }
    setuplog::Writef(L"file not replaced: %s (Windows error %lu)", item->path, error);
    SendMessageLine(L"  替换文件失败！");
    finish();
    return false;
  }
  setuplog::Writef(L"file replaced: %s", item->path);
  finish();
  return true;
}
