// Whole-file mapping.
#include "sys/mapfile_win.h"

#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include <atomic>

#include "base/text.h"
#include "ui/owners_win.h"

namespace {

std::atomic<DWORD> g_flushes{0};

// Record blocks come from the global heap, zero-filled.
struct GlobalTraits {
  static MappedFileRecord* Invalid() { return nullptr; }
  static bool IsInvalid(MappedFileRecord* p) { return p == nullptr; }
  static void Close(MappedFileRecord* p) { ::GlobalFree(p); }
};
using RecordBlock = ui::Owner<MappedFileRecord*, GlobalTraits>;

MappedFileRecord* NewRecord() {
  return static_cast<MappedFileRecord*>(::GlobalAlloc(GPTR, sizeof(MappedFileRecord)));
}

void Flush(MappedFileRecord* r) {
  if (r->view && ::FlushViewOfFile(r->view, r->size)) ++g_flushes;
}

// Moves the parts that were made into the record and hands it out.
DWORD Finish(RecordBlock& block, ui::FileHandle& file, ui::Handle& mapping,
             ui::MappedView& view, DWORD size, const wchar_t* path,
             MappedFileRecord** outRecord) {
  MappedFileRecord* r = block.release();
  r->size = size;
  kl::Copy(r->path, path);
  r->file = file.release();
  r->mapping = mapping.release();
  r->view = view.release();
  *outRecord = r;
  return size;
}

}  // namespace

DWORD MappedFileFlushCount() { return g_flushes.load(); }

DWORD OpenMappedFile(int writable, MappedFileRecord** outRecord, const wchar_t* path) {
  if (!outRecord) return 0;
  *outRecord = nullptr;
  if (!path || ::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return 0;
  RecordBlock block(NewRecord());
  if (!block) return 0;

  const DWORD access = writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  const DWORD share = writable ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : FILE_SHARE_READ;
  ui::FileHandle file(::CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  const DWORD size = ::GetFileSize(file.get(), nullptr);
  ui::Handle mapping(::CreateFileMappingW(file.get(), nullptr,
                                          writable ? PAGE_READWRITE : PAGE_READONLY, 0,
                                          size, nullptr));
  if (!mapping) return 0;
  ui::MappedView view(::MapViewOfFile(
      mapping.get(), writable ? (FILE_MAP_READ | FILE_MAP_WRITE) : FILE_MAP_READ, 0, 0, 0));
  if (!view) return 0;
  return Finish(block, file, mapping, view, size, path, outRecord);
}

DWORD CreateMappedFile(DWORD size, const wchar_t* path, MappedFileRecord** outRecord) {
  if (!outRecord) return 0;
  *outRecord = nullptr;
  if (!path) return 0;
  RecordBlock block(NewRecord());
  if (!block) return 0;

  ui::FileHandle file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  LARGE_INTEGER end;
  end.QuadPart = size;
  ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
  ::SetEndOfFile(file.get());
  // A zero-length file cannot be mapped; that failure is the result.
  ui::Handle mapping(
      ::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, size, nullptr));
  if (!mapping) return 0;
  ui::MappedView view(
      ::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
  if (!view) return 0;
  return Finish(block, file, mapping, view, size, path, outRecord);
}

int ResizeMappedFile(MappedFileRecord* record, DWORD newSize) {
  if (!record || !record->file) return 0;
  if (record->view) {
    Flush(record);
    ::UnmapViewOfFile(record->view);
    record->view = nullptr;
  }
  if (record->mapping) {
    ::CloseHandle(record->mapping);
    record->mapping = nullptr;
  }
  LARGE_INTEGER end;
  end.QuadPart = newSize;
  ::SetFilePointerEx(record->file, end, nullptr, FILE_BEGIN);
  ::SetEndOfFile(record->file);
  record->size = newSize;

  record->mapping =
      ::CreateFileMappingW(record->file, nullptr, PAGE_READWRITE, 0, newSize, nullptr);
  if (!record->mapping) {
    ::CloseHandle(record->file);
    record->file = nullptr;
    return 0;
  }
  record->view = ::MapViewOfFile(record->mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  if (!record->view) {
    ::CloseHandle(record->mapping);
    record->mapping = nullptr;
    return 0;
  }
  return 1;
}

void CloseMappedFile(MappedFileRecord* record, int flush) {
  if (!record) return;
  if (flush) Flush(record);
  // Each part is owned once more so that every one is released exactly once.
  ui::MappedView view(record->view);
  ui::Handle mapping(record->mapping);
  ui::FileHandle file(record->file);
  RecordBlock block(record);
  view.reset();
  mapping.reset();
  file.reset();
  record->size = 0;
  record->view = nullptr;
  record->mapping = nullptr;
  record->file = nullptr;
}

CQXMapfile::CQXMapfile() : path_{}, writable_(0), record_(nullptr) {}

CQXMapfile::~CQXMapfile() {
  if (record_) {
    CloseMappedFile(record_, writable_);
    record_ = nullptr;
  }
}

unsigned char* CQXMapfile::GetPointer(DWORD offset) {
  if (!record_ || !record_->view) return nullptr;
  return static_cast<unsigned char*>(record_->view) + offset;
}

DWORD CQXMapfile::GetSize() { return record_ ? record_->size : 0; }

DWORD CQXMapfile::Create(const wchar_t* path, DWORD size) {
  Close();  // an object holds one record at a time
  writable_ = 1;
  kl::Copy(path_, path);
  return CreateMappedFile(size, path_, &record_);
}

DWORD CQXMapfile::Open(const wchar_t* path, int writable) {
  Close();
  writable_ = writable;
  kl::Copy(path_, path);
  return OpenMappedFile(writable, &record_, path_);
}

void CQXMapfile::Close() {
  if (!record_) return;
  CloseMappedFile(record_, writable_);
  record_ = nullptr;
}

int CQXMapfile::Resize(DWORD newSize) {
  if (!record_) return 0;
  return ResizeMappedFile(record_, newSize);
}
