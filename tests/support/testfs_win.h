// Files and folders for the Windows tests, the test helper programs and the
// install benchmark's driver: this program's folder, the temporary folder,
// whole-file reads and writes, unique names and the removal of a folder tree
// a test made, a file kept in use by a helper. Nothing here asserts (the bench driver uses it too): callers
// check the results.
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h uses COM start-up

#include <string>
#include <vector>

#include "ui/owners_win.h"

namespace testfs {

// The temporary folder ("...\" form).
std::wstring TempFolder();
// The full path of this program.
std::wstring ThisExe();
// The folder of this program ("...\bin\" form).
std::wstring BinFolder();

bool Exists(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// stem + this process's id + "_" + a counter that grows with every call.
std::wstring Unique(const wchar_t* stem);

// The whole file. Opened shared for reading, writing and deleting, so that
// files others hold (mapped, or open for writing) can still be read. false
// (and *out untouched) when it cannot be opened or its size is unknown.
bool ReadAll(const std::wstring& path, std::vector<unsigned char>* out);
// The whole file as bytes in a string; "<missing>" when it cannot be read.
std::string ReadText(const std::wstring& path);

// Creates or replaces path with exactly data.
bool WriteAll(const std::wstring& path, const std::vector<unsigned char>& data);
bool WriteAll(const std::wstring& path, const std::string& data);

// The file's security descriptor with its access list (DACL); empty when it
// cannot be read. The DACL of a descriptor as SDDL text ("" on failure), and
// the file's own.
std::vector<BYTE> FileDacl(const std::wstring& path);
std::wstring DaclSddl(PSECURITY_DESCRIPTOR sd);
std::wstring DaclText(const std::wstring& path);

// Removes a folder tree (given with or without the trailing backslash):
// every entry's attributes are cleared, files go first, then the folders.
// An empty path removes nothing.
void RemoveTree(const std::wstring& folder);

// A file or folder kept "in use" by hold_open.exe (started from this
// program's folder): opened for reading, shared for reading only, until
// Release or the owner's end, which end the helper and wait for it.
class HeldFile {
 public:
  // Starts the helper and waits (at most readyMs) until it has the path open.
  explicit HeldFile(const std::wstring& path, DWORD readyMs = 20000);
  ~HeldFile() { Release(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // true when the helper started and reported the path open in time.
  bool ok() const { return ok_; }
  void Release();

 private:
  ui::ProcessInfo holder_;
  bool ok_ = false;
};

}  // namespace testfs
