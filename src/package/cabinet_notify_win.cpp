// The extractor's notifications: entry names to paths under the destination,
// the free-space check, output files and their times and attributes, the
// memory target, and the next cabinet of a set.
#include "package/cabinet_win.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "base/keyname.h"
#include "base/text.h"
#include "package/cabinet_internal_win.h"

namespace Cabinet {


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
  current_.headBytes = 0;
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
  doneFileImage_ = false;
  if (!memoryTarget_) {
    const int handle = static_cast<int>(info->hf);
    doneFileImage_ = handle > 0 && handle == current_.handle && current_.headBytes == 2 &&
                     current_.head[0] == 'M' && current_.head[1] == 'Z';
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
