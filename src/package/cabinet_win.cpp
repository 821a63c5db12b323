// Cabinet extraction: the extractor's life cycle and the choice of reader
// (the decoding engine or FDI, driven through the same hooks). The file hooks
// with the "CRYP" read layer are in cabinet_io_win.cpp, the notifications in
// cabinet_notify_win.cpp. See cabinet_win.h for the calling order.
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
#include "package/cabinet_internal_win.h"

namespace Cabinet {

namespace {

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
  current_.headBytes = 0;
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
  prefetch_.Drop();
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
  prefetch_.Drop();
  memoryData_.reset();
  memory_ = MemoryBlock();
  return result;
}

int CExtract::ReleaseThreadSlot() {
  DWORD slot = ThreadSlotIndex();
  if (slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot, nullptr);
  return 1;
}
}  // namespace Cabinet
