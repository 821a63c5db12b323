// Whole-file mapping: a small record with four free operations over it, and
// CQXMapfile, a stack object that owns one record together with the path and
// the access mode it was opened with.
#pragma once

#include <windows.h>

// One mapped file. Allocated zero-filled from the global heap by
// OpenMappedFile/CreateMappedFile, freed by CloseMappedFile.
struct MappedFileRecord {
  DWORD size;          // length of the file and of the view (low 32 bits)
  wchar_t path[260];   // the path that was mapped, cut to 259 characters
  HANDLE file;         // the open file
  HANDLE mapping;      // the file-mapping object
  void* view;          // start of the view; the whole file from here to size
};

// Maps an existing file whole. Returns its size, or 0 (and a null record) on
// failure; a missing path allocates nothing; an empty file cannot be mapped.
DWORD OpenMappedFile(int writable, MappedFileRecord** outRecord, const wchar_t* path);
// Creates (or replaces) a file of exactly size bytes and maps it read+write.
// Returns size, or 0 (and a null record) on failure.
DWORD CreateMappedFile(DWORD size, const wchar_t* path, MappedFileRecord** outRecord);
// Gives the file a new length and maps it again read+write. 1 or 0. A null
// record, or one whose file is no longer open, gives 0.
int ResizeMappedFile(MappedFileRecord* record, DWORD newSize);
// Unmaps (flushing the view first when flush is non-zero), closes and frees.
// A null record is ignored.
void CloseMappedFile(MappedFileRecord* record, int flush);

// Number of views flushed by CloseMappedFile/ResizeMappedFile since the
// process started; lets tests tell a flushing close from a plain one.
DWORD MappedFileFlushCount();

class CQXMapfile {
 public:
  CQXMapfile();
  ~CQXMapfile();
  CQXMapfile(const CQXMapfile&) = delete;
  CQXMapfile& operator=(const CQXMapfile&) = delete;

  // view + offset, or null when nothing is mapped.
  virtual unsigned char* GetPointer(DWORD offset);
  // The mapped size, or 0 when nothing is mapped.
  virtual DWORD GetSize();
  // Creates a file of exactly size bytes (writable); the size or 0.
  virtual DWORD Create(const wchar_t* path, DWORD size);
  // Opens an existing file; the size or 0.
  virtual DWORD Open(const wchar_t* path, int writable);
  // Releases the record, flushing when the object is writable.
  virtual void Close();
  // Resizes the mapped file; 1 or 0 (0 when nothing is mapped).
  virtual int Resize(DWORD newSize);

  const wchar_t* Path() const { return path_; }
  int Writable() const { return writable_; }

 private:
  wchar_t path_[260];
  int writable_;
  MappedFileRecord* record_;
};
