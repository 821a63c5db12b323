// Cabinet extraction on the system cabinet library (FDI from "Cabinet.dll",
// loaded at run time), with a decryption layer for enciphered "CRYP"
// packages, a memory target ("MEMORY\") and optional hooks.
//
// A keyed extraction reads a package, which is one cabinet by construction:
// it goes through the decoding engine alone, and a cabinet of a set (or one
// in a compression the engine does not read) is refused with
// kErrorNotSingleCabinet. Plain cabinets the engine does not read go to FDI;
// a next cabinet named twice in one extraction ends it (kErrorCabinetLoop).
// Before a file is written the sum of the files' sizes is compared with the
// target volume's free space (kErrorDiskSpace); for a keyed extraction the
// extractor then tells the user itself how much space is needed.
//
// Usage for a keyed package:
//   Cabinet::CExtract x;
//   x.SetPackageKey();          // BlowfishSetKey(&x.Cipher(), kPackageKeyLength)
//   x.CreateWorkBuffer();       // throws std::runtime_error("Fatal error: Out of memory!")
//   if (!x.Initialize()) ...    // x.LastError()
//   ok = x.Extract(L"C:\\dir\\package.cab", L"C:\\out\\");
//   x.Destroy();
// An unkeyed extraction skips the first two calls and, after Destroy,
// calls ReleaseThreadSlot().
//
// FDI's callbacks carry no user pointer, so the extractor that is running
// on a thread is kept in a thread-local slot. The slot index is allocated
// once, during static initialisation of the program (see ThreadSlotIndex);
// one extractor can be current per thread.
#pragma once

#include <windows.h>
#include <objbase.h>  // ui/owners_win.h uses COM start-up

#include <fdi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "package/blowfish.h"
#include "package/cryp_prefetch_win.h"
#include "ui/owners_win.h"

namespace Cabinet {

// Codes of ExtractError::code.
enum : int32_t {
  kErrorNone = 0,
  kErrorNotCabinet = 2,             // neither "MSCF" nor "CRYP" at offset 0
  kErrorCreateOutput = 8,           // an output folder or file cannot be made (or an unsafe name)
  kErrorLibrary = 1000,             // "Cabinet.dll" or an entry point is missing
  kErrorArguments = 1002,           // Extract's paths too short
  kErrorPlainForKeyed = 1007,       // "MSCF" cabinet given to a keyed extractor
  kErrorCipheredForUnkeyed = 1008,  // "CRYP" cabinet given to an unkeyed extractor
  kErrorMemoryFull = 1009,          // memory-target output larger than the block
  kErrorWrongThread = 1011,         // called from a thread other than the owner
  kErrorSlotBusy = 1012,            // another extractor is current on this thread
  kErrorNotSingleCabinet = 1013,    // a package cabinet of a set, or one the engine cannot read
  kErrorCabinetLoop = 1014,         // a next cabinet that this extraction has opened already
  kErrorDiskSpace = 1015,           // the files need more than the target volume has free
};

// Size of the decryption layer's read buffer, and the largest single read
// request it can serve (a request grows by up to 14 bytes to whole blocks).
constexpr uint32_t kWorkBufferSize = 65536;
constexpr uint32_t kMaxReadRequest = kWorkBufferSize - 14;

// First pseudo-handle given out for memory-target files.
constexpr uint32_t kMemoryHandleBase = 0xFF000000u;

struct ExtractError {
  int32_t code = 0;           // table above
  uint32_t systemError = 0;   // a Windows error number, or 0
  int32_t reserved = 0;       // always 0
};

// Logical read position of each cabinet file opened through FDI.
class HandlePositionTable {
 public:
  HandlePositionTable() = default;
  HandlePositionTable(const HandlePositionTable&) = delete;
  HandlePositionTable& operator=(const HandlePositionTable&) = delete;

  // Overwrites the handle's entry or appends one; false when memory is short.
  bool Set(int32_t handle, int32_t position);
  // Swaps the last entry into the removed slot.
  void Remove(int32_t handle);
  // The recorded position, or -1 when the handle is not in the table.
  int32_t Get(int32_t handle) const;
  bool Contains(int32_t handle) const;
  int32_t Count() const { return count_; }
  void Clear() { count_ = 0; }

 private:
  int32_t IndexOf(int32_t handle) const;
  std::vector<int32_t> handles_;
  std::vector<int32_t> positions_;
  int32_t count_ = 0;
};

// Output of memory-target extractions: the bytes of the file last written.
struct MemoryBlock {
  unsigned char* data = nullptr;
  int32_t capacity = 0;  // bytes
  int32_t length = 0;    // bytes written
};

// Handed to the filter hook before a file is created.
struct FileFilterInfo {
  const wchar_t* fileName;         // file name part
  const wchar_t* folderInCabinet;  // folder part inside the cabinet ("" or ending in "\")
  const wchar_t* nameInCabinet;    // whole name in the cabinet ("/" turned into "\")
  const wchar_t* outputFolder;     // destination + folder part
  const wchar_t* outputPath;       // outputFolder + fileName
  uint32_t size;
  FILETIME time;                   // the cabinet's date and time, no time-zone conversion
  uint16_t attributes;
};

struct ProgressInfo {
  const wchar_t* nameInCabinet;
  const wchar_t* outputPath;
  uint32_t size;
  uint32_t written;
  float percent;  // written x 100 / size
};

struct CabinetInfo {
  const char* nextCabinet;   // as FDI gives it
  const char* nextDisk;      // as FDI gives it
  const wchar_t* cabinetPath;
  uint16_t setId;
  uint16_t cabinetNumber;
};

// Every hook gets the extractor's context value as its last argument.
using FileFilterHook = int (*)(const FileFilterInfo* file, uintptr_t context);  // 0 skips
using FileDoneHook = void (*)(const wchar_t* outputPath, const MemoryBlock* block,
                              uintptr_t context);  // block only for the memory target
using ProgressHook = void (*)(const ProgressInfo* progress, uintptr_t context);
using CabinetInfoHook = void (*)(const CabinetInfo* cabinet, uintptr_t context);
using NextCabinetHook = void (*)(const CabinetInfo* cabinet, int fdiError, uintptr_t context);

// The thread-local slot index (allocated once, at program start; never freed).
DWORD ThreadSlotIndex();
// The extractor current on the calling thread, or null.
class CExtract;
CExtract* CurrentExtractor();

// Why a cabinet name cannot be used as an output path: a ".." or "."
// component, a drive or stream colon, an absolute or UNC path, a reserved
// device name, a character not allowed in file names, an empty component.
// Exposed for tests; the copy-file notification refuses such names.
bool IsSafeCabinetName(const wchar_t* name);

class CExtract {
 public:
  CExtract();
  virtual ~CExtract();
  CExtract(const CExtract&) = delete;
  CExtract& operator=(const CExtract&) = delete;

  // Low-level file primitives on integer handles (C runtime semantics).
  virtual void Abort();
  virtual int FileRead(int handle, void* buffer, unsigned count);   // bytes or -1
  virtual int FileWrite(int handle, const void* buffer, unsigned count);
  virtual int FileClose(int handle);                                 // 0 or -1
  virtual long FileSeek(int handle, long distance, int origin);      // position or -1
  virtual int FileOpen(const wchar_t* path, int flags, int permission);  // handle or -1
  // Free bytes for the caller on the volume of folder (or of its nearest
  // existing parent); false when the system cannot tell.
  virtual bool FreeBytes(const wchar_t* folder, uint64_t* bytes);

  // Cipher. SetPackageKey keys it with the package key (1 on success).
  BlowfishContext& Cipher() { return cipher_; }
  const BlowfishContext& Cipher() const { return cipher_; }
  int SetPackageKey();
  bool Keyed() const { return cipher_.keyed != 0; }

  // The 65,536-byte read buffer of the decryption layer; created once.
  // Throws std::runtime_error("Fatal error: Out of memory!") on failure.
  void CreateWorkBuffer();
  bool HasWorkBuffer() const { return workBuffer_.valid(); }

  int Initialize();
  int Extract(const wchar_t* cabinetPath, const wchar_t* destination);
  int Destroy();
  int ReleaseThreadSlot();

  // Hooks (null by default) and settings.
  void SetFileFilterHook(FileFilterHook h) { filterHook_ = h; }
  void SetFileDoneHook(FileDoneHook h) { doneHook_ = h; }
  void SetProgressHook(ProgressHook h) { progressHook_ = h; }
  void SetCabinetInfoHook(CabinetInfoHook h) { cabinetHook_ = h; }
  void SetNextCabinetHook(NextCabinetHook h) { nextCabinetHook_ = h; }
  void SetProgressInterval(int32_t ms) { progressInterval_ = ms; }
  int32_t ProgressInterval() const { return progressInterval_; }
  void SetCodePage(uint32_t cp) { codePage_ = cp; }
  // Quiet: a package extraction that runs out of space shows no message
  // (an unattended run has no one to read it); the error code tells.
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  uint32_t CodePage() const { return codePage_; }
  // The value every hook receives; each extraction starts from it (0 unless set).
  void SetHookContext(uintptr_t value) { hookContextBase_ = value; }

  // Results.
  const ExtractError& LastError() const { return error_; }
  // After kErrorDiskSpace: what the files need and what the volume had.
  uint64_t SpaceNeeded() const { return spaceNeeded_; }
  uint64_t SpaceFree() const { return spaceFree_; }
  const ERF& FdiError() const { return fdiError_; }
  const MemoryBlock& Memory() const { return memory_; }
  const unsigned char* MemoryData() const { return memory_.data; }
  int32_t MemoryLength() const { return memory_.length; }
  bool MemoryTarget() const { return memoryTarget_ != 0; }
  const std::wstring& Destination() const { return destination_; }
  DWORD OwnerThread() const { return ownerThread_; }
  // Inside the file-done hook: whether the file just written starts like a
  // program image ("MZ"), as its bytes went out.
  bool DoneFileStartsLikeImage() const { return doneFileImage_; }
  const HandlePositionTable& Positions() const { return positions_; }

  // Entries of FDI's callbacks. FDI reaches them through the thread's
  // current extractor; tests may call them directly. BeginRun does the
  // per-extraction reset and destination set-up of Extract (steps that
  // precede FDICopy).
  void BeginRun(const wchar_t* destination);
  int HookOpen(const char* utf8Path, int flags, int permission);
  unsigned HookRead(int handle, void* buffer, unsigned count);
  unsigned HookWrite(int handle, const void* data, unsigned count);
  int HookClose(int handle);
  long HookSeek(int handle, long distance, int origin);
  INT_PTR HookNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info);
  // Called by the decoding engine once the cabinet's tables are checked:
  // refuses an output larger than the target volume's free space.
  bool CheckSpace(uint64_t totalBytes);

 private:
  struct CurrentFile {
    int32_t handle = 0;
    std::wstring name;
    std::wstring path;
    uint32_t size = 0;
    uint32_t written = 0;
    DWORD lastTick = 0;
    unsigned char head[2] = {};  // the first bytes written, headBytes of them
    uint32_t headBytes = 0;
  };

  void ClearCurrentFile();
  void ReadAhead(int handle, long after, unsigned count);
  bool OnOwnerThread();
  void SetError(int32_t code, uint32_t systemError = 0);
  bool NameToWide(const char* name, uint16_t attribs, std::wstring* out) const;
  bool CreateFolderLevels(const std::wstring& folder, DWORD* systemError);
  bool GrowMemory(uint32_t size);
  // false (error kErrorCabinetLoop set) when name was opened before.
  bool NoteCabinet(const std::wstring& name);
  INT_PTR OnCopyFile(PFDINOTIFICATION info);
  INT_PTR OnCloseFile(PFDINOTIFICATION info);
  void ApplyTimeAndAttributes(const std::wstring& path, uint16_t date, uint16_t time,
                              uint16_t attribs);

  using FnCreate = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                     PFNSEEK, int, PERF);
  using FnCopy = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
  using FnIsCabinet = BOOL(DIAMONDAPI*)(HFDI, INT_PTR, PFDICABINETINFO);
  using FnDestroy = BOOL(DIAMONDAPI*)(HFDI);

  CurrentFile current_;
  FileFilterHook filterHook_ = nullptr;
  FileDoneHook doneHook_ = nullptr;
  ProgressHook progressHook_ = nullptr;
  CabinetInfoHook cabinetHook_ = nullptr;
  NextCabinetHook nextCabinetHook_ = nullptr;
  int32_t progressInterval_ = 200;
  HandlePositionTable positions_;
  std::wstring destination_;
  std::wstring nextCabinet_;
  BlowfishContext cipher_;
  MemoryBlock memory_;
  ui::HeapBlock memoryData_;
  ERF fdiError_ = {};
  ExtractError error_;
  bool quiet_ = false;
  HFDI fdi_ = nullptr;
  int32_t abort_ = 0;
  int32_t memoryTarget_ = 0;
  ui::HeapBlock workBuffer_;
  uint32_t codePage_ = 1252;
  std::vector<std::wstring> openedCabinets_;  // file names, folded, of this extraction
  uint64_t spaceNeeded_ = 0;
  uint64_t spaceFree_ = 0;
  uintptr_t hookContext_ = 0;
  bool doneFileImage_ = false;
  uintptr_t hookContextBase_ = 0;
  DWORD ownerThread_ = 0;
  ui::Module library_;
  FnCreate fdiCreate_ = nullptr;
  FnCopy fdiCopy_ = nullptr;
  FnIsCabinet fdiIsCabinet_ = nullptr;
  FnDestroy fdiDestroy_ = nullptr;
  // Last: it ends its worker before the cipher it reads goes.
  CrypPrefetch prefetch_;
};

}  // namespace Cabinet
