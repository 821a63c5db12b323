// Cabinet extraction on FDI with the "CRYP" decryption layer and the memory
// target. See cabinet_win.h for the calling order.
#include "package/cabinet_win.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/keyname.h"
#include "base/sysdir_win.h"
#include "base/text.h"
#include "package/cab_decoder.h"
#include "package/cryp_layer.h"

namespace Cabinet {

namespace {

constexpr unsigned kReadFailed = static_cast<unsigned>(-1);
constexpr int kOutputFlags = 0x8321;      // write-only, sequential, create, truncate, binary
constexpr int kOutputPermission = 0x180;  // read and write
constexpr int kCabinetPermission = 0x100;
constexpr int kCreateFlag = 0x100;
constexpr uint16_t kNameIsUtf8 = 0x80;
constexpr uint16_t kTimeIsUtc = 0x100;
constexpr DWORD kKeptAttributes = 0x27;  // read-only, hidden, system, archive

// The slot is allocated during static initialisation, i.e. when the program
// starts, and kept for the whole run.
DWORD AllocateSlot() {
  static const DWORD slot = ::TlsAlloc();
  return slot;
}
[[maybe_unused]] const DWORD g_slotAtStartup = AllocateSlot();

// FDI's callbacks: everything goes to the thread's current extractor.
void* DIAMONDAPI FdiAlloc(ULONG cb) { return std::malloc(cb ? cb : 1); }
void DIAMONDAPI FdiFree(void* p) { std::free(p); }

INT_PTR DIAMONDAPI FdiOpen(char* path, int flags, int permission) {
  CExtract* x = CurrentExtractor();
  return x ? static_cast<INT_PTR>(x->HookOpen(path, flags, permission)) : -1;
}
UINT DIAMONDAPI FdiRead(INT_PTR handle, void* buffer, UINT count) {
  CExtract* x = CurrentExtractor();
  return x ? x->HookRead(static_cast<int>(handle), buffer, count) : kReadFailed;
}
UINT DIAMONDAPI FdiWrite(INT_PTR handle, void* data, UINT count) {
  CExtract* x = CurrentExtractor();
  return x ? x->HookWrite(static_cast<int>(handle), data, count) : kReadFailed;
}
int DIAMONDAPI FdiClose(INT_PTR handle) {
  CExtract* x = CurrentExtractor();
  return x ? x->HookClose(static_cast<int>(handle)) : -1;
}
LONG DIAMONDAPI FdiSeek(INT_PTR handle, LONG distance, int origin) {
  CExtract* x = CurrentExtractor();
  return x ? x->HookSeek(static_cast<int>(handle), distance, origin) : -1;
}
INT_PTR DIAMONDAPI FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  CExtract* x = CurrentExtractor();
  return x ? x->HookNotify(type, info) : -1;
}

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
  size_t n = kl::StrLen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

// The decoding engine's side of an extraction: every primitive and
// notification goes through the extractor's own hooks, exactly as FDI's do,
// so the read layer, the memory target and the notification handling are the
// same whichever reader runs.
class EngineHost : public cab::DecoderHost {
 public:
  explicit EngineHost(CExtract& x) : x_(x) {}

  intptr_t Open(const char* path) override {
    int h = x_.HookOpen(path, _O_RDONLY | _O_BINARY, 0);
    return h == 0 ? -1 : h;
  }
  int64_t Read(intptr_t handle, void* buffer, uint32_t count) override {
    unsigned n = x_.HookRead(static_cast<int>(handle), buffer, count);
    return n == kReadFailed ? -1 : static_cast<int64_t>(n);
  }
  int64_t Seek(intptr_t handle, int64_t distance, int origin) override {
    if (distance > 0x7FFFFFFF || distance < 0) return -1;
    return x_.HookSeek(static_cast<int>(handle), static_cast<long>(distance), origin);
  }
  int Close(intptr_t handle) override { return x_.HookClose(static_cast<int>(handle)); }
  int64_t Write(intptr_t handle, const void* data, uint32_t count) override {
    unsigned n = x_.HookWrite(static_cast<int>(handle), data, count);
    return n == kReadFailed ? -1 : static_cast<int64_t>(n);
  }
  intptr_t OnCabinetInfo(const cab::CabinetHeaderInfo& c) override {
    FDINOTIFICATION n = {};
    n.psz1 = const_cast<char*>(c.nextCabinet);
    n.psz2 = const_cast<char*>(c.nextDisk);
    n.psz3 = const_cast<char*>(c.cabinetPath);
    n.setID = static_cast<USHORT>(c.setId);
    n.iCabinet = static_cast<USHORT>(c.cabinetNumber);
    if (!x_.CheckSpace(c.totalBytes)) return -1;
    return x_.HookNotify(fdintCABINET_INFO, &n);
  }
  intptr_t OnCopyFile(const cab::DecodedFile& f) override {
    FDINOTIFICATION n = FileNotification(f);
    return x_.HookNotify(fdintCOPY_FILE, &n);
  }
  intptr_t OnCloseFile(const cab::DecodedFile& f, intptr_t handle) override {
    FDINOTIFICATION n = FileNotification(f);
    n.hf = handle;
    return x_.HookNotify(fdintCLOSE_FILE_INFO, &n);
  }

 private:
  static FDINOTIFICATION FileNotification(const cab::DecodedFile& f) {
    FDINOTIFICATION n = {};
    n.cb = static_cast<LONG>(f.size);
    n.psz1 = const_cast<char*>(f.name);
    n.date = f.date;
    n.time = f.time;
    n.attribs = f.attribs;
    n.iFolder = static_cast<USHORT>(f.folder);
    return n;
  }
  CExtract& x_;
};

static_assert(static_cast<int>(cab::DecodeError::CabinetNotFound) == FDIERROR_CABINET_NOT_FOUND &&
                  static_cast<int>(cab::DecodeError::NotACabinet) == FDIERROR_NOT_A_CABINET &&
                  static_cast<int>(cab::DecodeError::UnknownVersion) ==
                      FDIERROR_UNKNOWN_CABINET_VERSION &&
                  static_cast<int>(cab::DecodeError::Corrupt) == FDIERROR_CORRUPT_CABINET &&
                  static_cast<int>(cab::DecodeError::AllocFail) == FDIERROR_ALLOC_FAIL &&
                  static_cast<int>(cab::DecodeError::BadCompression) == FDIERROR_BAD_COMPR_TYPE &&
                  static_cast<int>(cab::DecodeError::TargetFile) == FDIERROR_TARGET_FILE &&
                  static_cast<int>(cab::DecodeError::ReserveMismatch) ==
                      FDIERROR_RESERVE_MISMATCH &&
                  static_cast<int>(cab::DecodeError::UserAbort) == FDIERROR_USER_ABORT,
              "engine errors carry FDI's numbers");

}  // namespace

DWORD ThreadSlotIndex() { return AllocateSlot(); }

CExtract* CurrentExtractor() {
  DWORD slot = ThreadSlotIndex();
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  return static_cast<CExtract*>(::TlsGetValue(slot));
}

bool IsSafeCabinetName(const wchar_t* name) {
  return name && kl::IsSafeRelativePath(kl::string16_view(name));
}

// ---------------------------------------------------------------------------
// HandlePositionTable

int32_t HandlePositionTable::IndexOf(int32_t handle) const {
  for (int32_t i = 0; i < count_; ++i)
    if (handles_[i] == handle) return i;
  return -1;
}

bool HandlePositionTable::Set(int32_t handle, int32_t position) {
  int32_t i = IndexOf(handle);
  if (i >= 0) {
    positions_[i] = position;
    return true;
  }
  if (static_cast<size_t>(count_) < handles_.size()) {
    handles_[count_] = handle;
    positions_[count_] = position;
  } else {
    handles_.push_back(handle);
    positions_.push_back(position);
  }
  ++count_;
  return true;
}

void HandlePositionTable::Remove(int32_t handle) {
  int32_t i = IndexOf(handle);
  if (i < 0) return;
  handles_[i] = handles_[count_ - 1];
  positions_[i] = positions_[count_ - 1];
  --count_;
}

int32_t HandlePositionTable::Get(int32_t handle) const {
  int32_t i = IndexOf(handle);
  return i < 0 ? -1 : positions_[i];
}

bool HandlePositionTable::Contains(int32_t handle) const { return IndexOf(handle) >= 0; }

// ---------------------------------------------------------------------------
// CExtract: construction, primitives

CExtract::CExtract() : ownerThread_(::GetCurrentThreadId()) {
  std::memset(&cipher_, 0, sizeof cipher_);
  destination_.reserve(300);
  nextCabinet_.reserve(300);
  current_.name.reserve(300);
  current_.path.reserve(300);
}

CExtract::~CExtract() {
  int destroyed = Destroy();
  if (destroyed) {
    DWORD slot = ThreadSlotIndex();
    if (slot != TLS_OUT_OF_INDEXES && ::TlsGetValue(slot) == this) ::TlsSetValue(slot, nullptr);
  }
  library_.reset();
}

void CExtract::Abort() { abort_ = 1; }

int CExtract::FileRead(int handle, void* buffer, unsigned count) {
  return _read(handle, buffer, count);
}

int CExtract::FileWrite(int handle, const void* buffer, unsigned count) {
  return _write(handle, buffer, count);
}

int CExtract::FileClose(int handle) { return _close(handle); }

long CExtract::FileSeek(int handle, long distance, int origin) {
  return _lseek(handle, distance, origin);
}

int CExtract::FileOpen(const wchar_t* path, int flags, int permission) {
  if (!path) return -1;
  int h = _wopen(path, flags, permission);
  // An existing read-only, hidden or system file refuses to be replaced:
  // its attributes are cleared and the open is tried once more. (Clearing
  // them beforehand costs every new file a look-up of a name that is not
  // there, which under Wine means a scan of the folder.)
  if (h == -1 && (flags & kCreateFlag) && errno == EACCES) {
    const DWORD a = ::GetFileAttributesW(path);
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) &&
        ::SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL))
      h = _wopen(path, flags, permission);
  }
  return h;
}

int CExtract::SetPackageKey() { return BlowfishSetKey(&cipher_, kPackageKeyLength); }

void CExtract::CreateWorkBuffer() {
  if (workBuffer_.valid()) return;
  void* p = ::HeapAlloc(::GetProcessHeap(), 0, kWorkBufferSize);
  if (!p) {
    // Nothing can go on without it: say why on the error stream and end.
    std::fputs("Fatal error: Out of memory!\n", stderr);
    std::abort();
  }
  workBuffer_.reset(p);
}

bool CExtract::OnOwnerThread() { return ::GetCurrentThreadId() == ownerThread_; }

void CExtract::SetError(int32_t code, uint32_t systemError) {
  error_.code = code;
  error_.systemError = systemError;
  error_.reserved = 0;
}

void CExtract::ClearCurrentFile() {
  current_.handle = 0;
  current_.name.clear();
  current_.path.clear();
  current_.size = 0;
  current_.written = 0;
  current_.lastTick = 0;
}

// ---------------------------------------------------------------------------
// Initialize / Extract / Destroy

int CExtract::Initialize() {
  if (!OnOwnerThread()) {
    SetError(kErrorWrongThread);
    return 0;
  }
  DWORD slot = ThreadSlotIndex();
  if (slot != TLS_OUT_OF_INDEXES && ::TlsGetValue(slot) != nullptr) {
    SetError(kErrorSlotBusy);
    return 0;
  }
  if (slot == TLS_OUT_OF_INDEXES || !::TlsSetValue(slot, this) || ::TlsGetValue(slot) != this) {
    SetError(kErrorNone, ERROR_OUTOFMEMORY);  // 14
    return 0;
  }
  error_ = ExtractError();
  fdiError_ = ERF();
  if (fdi_) return 0;
  if (!library_) {
    library_.reset(kl::LoadSystemLibrary(L"Cabinet.dll"));
    if (library_) {
      HMODULE m = library_.get();
      fdiCreate_ = reinterpret_cast<FnCreate>(reinterpret_cast<void*>(::GetProcAddress(m, "FDICreate")));
      fdiCopy_ = reinterpret_cast<FnCopy>(reinterpret_cast<void*>(::GetProcAddress(m, "FDICopy")));
      fdiIsCabinet_ =
          reinterpret_cast<FnIsCabinet>(reinterpret_cast<void*>(::GetProcAddress(m, "FDIIsCabinet")));
      fdiDestroy_ =
          reinterpret_cast<FnDestroy>(reinterpret_cast<void*>(::GetProcAddress(m, "FDIDestroy")));
    }
    if (!library_ || !fdiCreate_ || !fdiCopy_ || !fdiIsCabinet_ || !fdiDestroy_) {
      library_.reset();
      fdiCreate_ = nullptr;
      fdiCopy_ = nullptr;
      fdiIsCabinet_ = nullptr;
      fdiDestroy_ = nullptr;
      SetError(kErrorLibrary);
      return 0;
    }
  }
  fdi_ = fdiCreate_(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386,
                    &fdiError_);
  return fdi_ ? 1 : 0;
}

void CExtract::BeginRun(const wchar_t* destination) {
  hookContext_ = hookContextBase_;
  abort_ = 0;
  ClearCurrentFile();
  error_ = ExtractError();
  fdiError_ = ERF();
  positions_.Clear();
  destination_.assign(destination ? destination : L"");
  if (destination_.size() > 1 && destination_.back() != L'\\') destination_.push_back(L'\\');
  memoryTarget_ = EqualsNoCase(destination_, L"MEMORY\\") ? 1 : 0;
}

int CExtract::Extract(const wchar_t* cabinetPath, const wchar_t* destination) {
  if (!OnOwnerThread()) {
    SetError(kErrorWrongThread);
    return 0;
  }
  if (!fdi_) return 0;
  BeginRun(destination);

  std::wstring cabinet(cabinetPath ? cabinetPath : L"");
  size_t cut = cabinet.rfind(L'\\');
  std::wstring folder = cut == std::wstring::npos ? std::wstring() : cabinet.substr(0, cut + 1);
  std::wstring file = cut == std::wstring::npos ? cabinet : cabinet.substr(cut + 1);
  if (destination_.size() < 3 || folder.size() < 2 || file.size() < 2) {
    SetError(kErrorArguments);
    return 0;
  }

  nextCabinet_.clear();
  std::string folder8 = kl::ToUtf8(folder);
  std::string file8 = kl::ToUtf8(file);
  // Stored and MSZIP cabinets on their own go through the decoding engine;
  // sets and other compressions through FDI. The engine decides before it
  // has made any notification, so FDI then starts from a clean state.
  BOOL ok = FALSE;
  openedCabinets_.clear();
  NoteCabinet(file);
  spaceNeeded_ = spaceFree_ = 0;
  cab::DecodeResult engine;
  {
    cab::CabDecoder decoder;
    EngineHost host(*this);
    engine = decoder.Decode(host, file8.c_str(), folder8.c_str());
    if (engine == cab::DecodeResult::Failed) {
      fdiError_.erfOper = static_cast<int>(decoder.error());
      fdiError_.erfType = 0;
      fdiError_.fError = TRUE;
    }
  }
  if (engine == cab::DecodeResult::Unsupported && Keyed()) {
    SetError(kErrorNotSingleCabinet);
  } else if (engine == cab::DecodeResult::Unsupported) {
    positions_.Clear();
    ok = fdiCopy_(fdi_, &file8[0], &folder8[0], 0, FdiNotify, nullptr, nullptr);
  }
  while (ok) {
    if (nextCabinet_.empty()) break;
    if (!NoteCabinet(nextCabinet_)) break;
    file8 = kl::ToUtf8(nextCabinet_);
    nextCabinet_.clear();
    ok = fdiCopy_(fdi_, &file8[0], &folder8[0], 0, FdiNotify, nullptr, nullptr);
  }

  if (current_.handle != 0) {
    std::wstring partial = current_.path;
    HookClose(current_.handle);
    if (abort_ && !partial.empty()) ::DeleteFileW(partial.c_str());
  }
  return (!fdiError_.fError && error_.code == 0 && error_.systemError == 0) ? 1 : 0;
}

int CExtract::Destroy() {
  if (!OnOwnerThread()) {
    SetError(kErrorWrongThread);
    return 0;
  }
  int result = 1;
  if (fdi_) {
    result = fdiDestroy_(fdi_) ? 1 : 0;
    fdi_ = nullptr;
  }
  memoryData_.reset();
  memory_ = MemoryBlock();
  return result;
}

int CExtract::ReleaseThreadSlot() {
  DWORD slot = ThreadSlotIndex();
  if (slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot, nullptr);
  return 1;
}

// ---------------------------------------------------------------------------
// File hooks

int CExtract::HookOpen(const char* utf8Path, int flags, int /*permission*/) {
  kl::string16 wide = kl::FromUtf8(utf8Path ? utf8Path : "");
  int h = FileOpen(wide.c_str(), flags, kCabinetPermission);
  if (h != 0 && h != -1) positions_.Set(h, 0);
  return h;
}

unsigned CExtract::HookRead(int handle, void* buffer, unsigned count) {
  int32_t pos = positions_.Get(handle);
  int n;
  if (!Keyed()) {
    n = FileRead(handle, buffer, count);
    if (n < 0) return kReadFailed;
  } else {
    // Whole 8-byte blocks are read into the work buffer and deciphered from
    // offset 56 on; the request must fit the buffer after rounding out.
    if (pos < 0 || count > kMaxReadRequest || !workBuffer_.valid() || !buffer) return kReadFailed;
    if (count == 0) return 0;
    CrypReadPlan plan = PlanCrypRead(pos, count);
    if (plan.length > kWorkBufferSize || plan.skip + count > plan.length) return kReadFailed;
    if (plan.skip != 0 && FileSeek(handle, static_cast<long>(plan.alignedStart), SEEK_SET) !=
                              static_cast<long>(plan.alignedStart))
      return kReadFailed;
    unsigned char* work = static_cast<unsigned char*>(workBuffer_.get());
    int got = FileRead(handle, work, plan.length);
    if (got < 0 || static_cast<uint32_t>(got) != plan.length) return kReadFailed;
    DecipherCrypSpan(&cipher_, work, plan);
    std::memcpy(buffer, work + plan.skip, count);
    long after = static_cast<long>(pos) + static_cast<long>(count);
    if (FileSeek(handle, after, SEEK_SET) != after) return kReadFailed;
    n = static_cast<int>(count);
  }
  if (handle != 0 && handle != -1 && pos >= 0) positions_.Set(handle, pos + n);

  if (pos == 0 && n >= 4) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    switch (ReadCabSignature(bytes, static_cast<size_t>(n))) {
      case CabSignature::Plain:
        if (Keyed()) {
          SetError(kErrorPlainForKeyed);
          return kReadFailed;
        }
        return static_cast<unsigned>(n);
      case CabSignature::Cryp:
        if (Keyed()) {
          std::memcpy(bytes, "MSCF", 4);
          return static_cast<unsigned>(n);
        }
        SetError(kErrorCipheredForUnkeyed);
        return kReadFailed;
      default:
        SetError(kErrorNotCabinet);
        return kReadFailed;
    }
  }
  return static_cast<unsigned>(n);
}

unsigned CExtract::HookWrite(int handle, const void* data, unsigned count) {
  int n;
  if (memoryTarget_) {
    if (static_cast<int64_t>(memory_.length) + count > memory_.capacity) {
      SetError(kErrorMemoryFull);
      return kReadFailed;
    }
    if (count) std::memcpy(memory_.data + memory_.length, data, count);
    memory_.length += static_cast<int32_t>(count);
    n = static_cast<int>(count);
  } else {
    n = FileWrite(handle, data, count);
  }
  if (n > 0 && handle == current_.handle && current_.handle != 0 && progressHook_) {
    current_.written += static_cast<uint32_t>(n);
    DWORD now = ::GetTickCount();
    int32_t since = static_cast<int32_t>(now - current_.lastTick);
    if (since < 0) since = -since;
    bool skip = progressInterval_ != 0 && since <= progressInterval_ &&
                current_.written != current_.size;
    if (!skip) {
      current_.lastTick = now;
      ProgressInfo info;
      info.nameInCabinet = current_.name.c_str();
      info.outputPath = current_.path.c_str();
      info.size = current_.size;
      info.written = current_.written;
      info.percent = current_.size
                         ? static_cast<float>(static_cast<double>(current_.written) * 100.0 /
                                              static_cast<double>(current_.size))
                         : 100.0f;
      progressHook_(&info, hookContext_);
    }
  }
  return n < 0 ? kReadFailed : static_cast<unsigned>(n);
}

int CExtract::HookClose(int handle) {
  if (handle < 1) return 0;
  int result = FileClose(handle);
  if (handle == current_.handle) ClearCurrentFile();
  positions_.Remove(handle);
  return result;
}

long CExtract::HookSeek(int handle, long distance, int origin) {
  long result = FileSeek(handle, distance, origin);
  if (handle != 0 && handle != -1 && result >= 0 && positions_.Contains(handle))
    positions_.Set(handle, static_cast<int32_t>(result));
  return result;
}

// ---------------------------------------------------------------------------
// Notifications

bool CExtract::NameToWide(const char* name, uint16_t attribs, std::wstring* out) const {
  out->clear();
  if (!name) return false;
  if (attribs & kNameIsUtf8) {
    *out = kl::FromUtf8(name);
  } else if (*name) {
    int n = ::MultiByteToWideChar(codePage_, 0, name, -1, nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    ::MultiByteToWideChar(codePage_, 0, name, -1, &(*out)[0], n);
    out->resize(static_cast<size_t>(n - 1));
  }
  for (wchar_t& c : *out)
    if (c == L'/') c = L'\\';
  return true;
}

bool CExtract::CreateFolderLevels(const std::wstring& folder, DWORD* systemError) {
  *systemError = 0;
  if (folder.find(L'\\') == std::wstring::npos) {
    *systemError = ERROR_INVALID_DRIVE;  // 15
    return false;
  }
  // Most files go into a folder that is there already (made for the file
  // before): one look instead of a call per level.
  DWORD there = ::GetFileAttributesW(folder.c_str());
  if (there != INVALID_FILE_ATTRIBUTES && (there & FILE_ATTRIBUTE_DIRECTORY)) return true;
  bool unc = folder.size() > 1 && folder[0] == L'\\' && folder[1] == L'\\';
  int separators = 0;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (folder[i] != L'\\') continue;
    ++separators;
    if (i == 0) continue;                       // "\x": the root of the current drive
    if (folder[i - 1] == L':') continue;        // "C:\"
    if (unc && separators <= 4) continue;       // "\\server\share\"
    std::wstring level = folder.substr(0, i);
    if (::CreateDirectoryW(level.c_str(), nullptr)) continue;
    DWORD e = ::GetLastError();
    DWORD a = ::GetFileAttributesW(level.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) continue;
    *systemError = e ? e : ERROR_PATH_NOT_FOUND;
    return false;
  }
  return true;
}

bool CExtract::NoteCabinet(const std::wstring& name) {
  const size_t cut = name.find_last_of(L"\\/");
  const std::wstring key = kl::FoldCase(cut == std::wstring::npos ? name : name.substr(cut + 1));
  for (const std::wstring& seen : openedCabinets_) {
    if (seen == key) {
      SetError(kErrorCabinetLoop);
      return false;
    }
  }
  openedCabinets_.push_back(key);
  return true;
}

bool CExtract::FreeBytes(const wchar_t* folder, uint64_t* bytes) {
  std::wstring dir(folder ? folder : L"");
  for (;;) {
    ULARGE_INTEGER avail;
    if (!dir.empty() && ::GetDiskFreeSpaceExW(dir.c_str(), &avail, nullptr, nullptr)) {
      *bytes = avail.QuadPart;
      return true;
    }
    // Up one level: "C:\a\b\" -> "C:\a\".
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    size_t cut = dir.rfind(L'\\');
    if (cut == std::wstring::npos) return false;
    dir.resize(cut + 1);
  }
}

namespace {

// A count in decimal (what std::to_wstring gives, without the formatted-output
// machinery behind it).
std::wstring Decimal(uint64_t v) {
  wchar_t digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + v % 10);
    v /= 10;
  } while (v);
  std::wstring s;
  while (n) s.push_back(digits[--n]);
  return s;
}

}  // namespace

bool CExtract::CheckSpace(uint64_t totalBytes) {
  if (memoryTarget_ || totalBytes == 0) return true;
  uint64_t avail = 0;
  if (!FreeBytes(destination_.c_str(), &avail) || avail >= totalBytes) return true;
  spaceNeeded_ = totalBytes;
  spaceFree_ = avail;
  SetError(kErrorDiskSpace, ERROR_DISK_FULL);
  if (Keyed() && !quiet_) {
    // The package extraction's callers know only success or failure; the
    // user learns here what is missing.
    const uint64_t mb = 1 << 20;
    std::wstring text = L"磁盘空间不足，无法解压安装文件。\n需要 " +
                        Decimal((totalBytes + mb - 1) / mb) + L" MB 可用空间，" +
                        destination_ + L" 所在的磁盘只有 " + Decimal(avail / mb) +
                        L" MB。";
    ::MessageBoxW(nullptr, text.c_str(), L"安装程序提示信息", MB_ICONHAND | MB_OK);
  }
  return false;
}

bool CExtract::GrowMemory(uint32_t size) {
  if (size > 0x7FFFFFF0u) return false;
  int32_t need = static_cast<int32_t>(size);
  if (memory_.data && memory_.capacity >= need) return true;
  void* p = ::HeapAlloc(::GetProcessHeap(), 0, static_cast<SIZE_T>(size) + 2);
  if (!p) return false;
  memoryData_.reset(p);
  memory_.data = static_cast<unsigned char*>(p);
  memory_.capacity = need + 2;
  return true;
}

INT_PTR CExtract::OnCopyFile(PFDINOTIFICATION info) {
  std::wstring name;
  NameToWide(info->psz1, info->attribs, &name);
  // A cabinet's names become output paths: nothing may leave the destination
  // or reach a device.
  if (!IsSafeCabinetName(name.c_str())) {
    SetError(kErrorCreateOutput, ERROR_INVALID_NAME);
    return -1;
  }
  size_t cut = name.rfind(L'\\');
  std::wstring folderPart = cut == std::wstring::npos ? std::wstring() : name.substr(0, cut + 1);
  std::wstring filePart = cut == std::wstring::npos ? name : name.substr(cut + 1);
  std::wstring outFolder = destination_ + folderPart;
  std::wstring outPath = outFolder + filePart;
  uint32_t size = static_cast<uint32_t>(info->cb);

  if (filterHook_) {
    FileFilterInfo f;
    f.fileName = filePart.c_str();
    f.folderInCabinet = folderPart.c_str();
    f.nameInCabinet = name.c_str();
    f.outputFolder = outFolder.c_str();
    f.outputPath = outPath.c_str();
    f.size = size;
    f.time = FILETIME();
    ::DosDateTimeToFileTime(info->date, info->time, &f.time);
    f.attributes = info->attribs;
    if (filterHook_(&f, hookContext_) == 0) return 0;
  }

  if (memoryTarget_) {
    if (!GrowMemory(size)) {
      SetError(kErrorMemoryFull, ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    memory_.length = 0;
    uint32_t pseudo = kMemoryHandleBase;
    while (positions_.Contains(static_cast<int32_t>(pseudo))) ++pseudo;
    return static_cast<INT_PTR>(static_cast<int32_t>(pseudo));
  }

  DWORD systemError = 0;
  if (!CreateFolderLevels(outFolder, &systemError)) {
    SetError(kErrorCreateOutput, systemError);
    return -1;
  }
  int h = FileOpen(outPath.c_str(), kOutputFlags, kOutputPermission);
  if (h < 1) {
    SetError(kErrorCreateOutput, 0);
    return h;
  }
  current_.handle = h;
  current_.size = size;
  current_.name = name;
  current_.path = outPath;
  current_.written = 0;
  current_.lastTick = ::GetTickCount();
  if (progressHook_) {
    ProgressInfo p;
    p.nameInCabinet = current_.name.c_str();
    p.outputPath = current_.path.c_str();
    p.size = size;
    p.written = 0;
    p.percent = 0.0f;
    progressHook_(&p, hookContext_);
  }
  return h;
}

namespace {

// The cabinet's date and time of a file as UTC. false when they are no date.
bool CabinetFileTime(uint16_t date, uint16_t time, uint16_t attribs, FILETIME* utc) {
  FILETIME local;
  if (!::DosDateTimeToFileTime(date, time, &local)) return false;
  if ((attribs & kTimeIsUtc) || !::LocalFileTimeToFileTime(&local, utc)) *utc = local;
  return true;
}

// Times and attributes through the runtime handle that wrote the file. false
// when the handle is not the runtime's or would not take them.
bool ApplyTimeAndAttributesToHandle(int handle, uint16_t date, uint16_t time, uint16_t attribs) {
  const intptr_t os = _get_osfhandle(handle);
  if (os == -1 || os == 0) return false;
  // One call sets both times and the attributes on the handle that wrote the
  // file: no second open by name, no second call by name afterwards.
  FILE_BASIC_INFO b = {};
  FILETIME utc;
  if (CabinetFileTime(date, time, attribs, &utc)) {
    b.CreationTime.LowPart = b.LastWriteTime.LowPart = utc.dwLowDateTime;
    b.CreationTime.HighPart = b.LastWriteTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  const DWORD a = attribs & kKeptAttributes;
  b.FileAttributes = a ? a : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(reinterpret_cast<HANDLE>(os), FileBasicInfo, &b,
                                      sizeof b) != 0;
}

}  // namespace

void CExtract::ApplyTimeAndAttributes(const std::wstring& path, uint16_t date, uint16_t time,
                                      uint16_t attribs) {
  {
    ui::FileHandle f(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    FILETIME utc;
    if (CabinetFileTime(date, time, attribs, &utc)) ::SetFileTime(f.get(), &utc, nullptr, &utc);
  }
  DWORD a = attribs & kKeptAttributes;
  ::SetFileAttributesW(path.c_str(), a ? a : FILE_ATTRIBUTE_NORMAL);
}

INT_PTR CExtract::OnCloseFile(PFDINOTIFICATION info) {
  std::wstring name;
  NameToWide(info->psz1, info->attribs, &name);
  std::wstring outPath = destination_ + name;
  if (!memoryTarget_) {
    const int handle = static_cast<int>(info->hf);
    const bool applied = handle > 0 && handle == current_.handle &&
                         ApplyTimeAndAttributesToHandle(handle, info->date, info->time,
                                                        info->attribs);
    HookClose(handle);
    // By name when the handle would not take them.
    if (!applied) ApplyTimeAndAttributes(outPath, info->date, info->time, info->attribs);
  }
  if (doneHook_) doneHook_(outPath.c_str(), memoryTarget_ ? &memory_ : nullptr, hookContext_);
  return 1;
}

INT_PTR CExtract::HookNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  if (abort_) return -1;
  if (!info) return 0;
  switch (type) {
    case fdintCABINET_INFO: {
      if (nextCabinet_.empty() && info->psz1) nextCabinet_ = kl::FromUtf8(info->psz1);
      if (cabinetHook_) {
        kl::string16 path = kl::FromUtf8(info->psz3 ? info->psz3 : "");
        CabinetInfo c{info->psz1, info->psz2, path.c_str(), info->setID, info->iCabinet};
        cabinetHook_(&c, hookContext_);
      }
      return 0;
    }
    case fdintCOPY_FILE:
      return OnCopyFile(info);
    case fdintCLOSE_FILE_INFO:
      return OnCloseFile(info);
    case fdintNEXT_CABINET: {
      nextCabinet_ = kl::FromUtf8(info->psz1 ? info->psz1 : "");
      if (info->fdie != FDIERROR_NONE) {
        SetError(static_cast<int32_t>(info->fdie));
        return -1;
      }
      // FDI goes on into the next cabinet itself here; the name is then used.
      if (!NoteCabinet(nextCabinet_)) return -1;
      nextCabinet_.clear();
      if (nextCabinetHook_) {
        kl::string16 path = kl::FromUtf8(info->psz3 ? info->psz3 : "");
        CabinetInfo c{info->psz1, info->psz2, path.c_str(), info->setID, info->iCabinet};
        nextCabinetHook_(&c, static_cast<int>(info->fdie), hookContext_);
      }
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace Cabinet
