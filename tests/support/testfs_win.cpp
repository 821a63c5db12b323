#include "testfs_win.h"

#include <sddl.h>

#include <atomic>

namespace testfs {

std::vector<BYTE> FileDacl(const std::wstring& path) {
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<BYTE> sd(size);
  if (size == 0 ||
      !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), size, &size))
    sd.clear();
  return sd;
}

std::wstring DaclSddl(PSECURITY_DESCRIPTOR sd) {
  wchar_t* text = nullptr;
  if (!sd || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION,
                                                                   &text, nullptr))
    return L"";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

std::wstring DaclText(const std::wstring& path) {
  std::vector<BYTE> sd = FileDacl(path);
  return sd.empty() ? L"" : DaclSddl(sd.data());
}


std::wstring TempFolder() {
  wchar_t t[MAX_PATH];
  GetTempPathW(MAX_PATH, t);
  return t;
}

std::wstring ThisExe() {
  wchar_t p[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, p, MAX_PATH);
  return p;
}

std::wstring BinFolder() {
  const std::wstring exe = ThisExe();
  return exe.substr(0, exe.find_last_of(L'\\') + 1);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFile(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Unique(const wchar_t* stem) {
  static std::atomic<int> n{0};
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++n);
}

bool ReadAll(const std::wstring& path, std::vector<unsigned char>* out) {
  ui::FileHandle h(CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  if (!h) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h.get(), &size)) return false;
  out->assign(static_cast<size_t>(size.QuadPart), 0);
  DWORD got = 0;
  return out->empty() || (ReadFile(h.get(), out->data(), static_cast<DWORD>(out->size()), &got,
                                   nullptr) &&
                          got == out->size());
}

std::string ReadText(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  if (!ReadAll(path, &bytes)) return "<missing>";
  return std::string(bytes.begin(), bytes.end());
}

namespace {

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
  ui::FileHandle h(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!h) return false;
  DWORD put = 0;
  return size == 0 ||
         (WriteFile(h.get(), data, static_cast<DWORD>(size), &put, nullptr) && put == size);
}

}  // namespace

bool WriteAll(const std::wstring& path, const std::vector<unsigned char>& data) {
  return WriteBytes(path, data.data(), data.size());
}

bool WriteAll(const std::wstring& path, const std::string& data) {
  return WriteBytes(path, data.data(), data.size());
}

void RemoveTree(const std::wstring& folder) {
  std::wstring base = folder;
  if (base.empty()) return;
  if (base.back() != L'\\') base += L'\\';
  WIN32_FIND_DATAW fd;
  if (ui::FindHandle f{FindFirstFileW((base + L"*").c_str(), &fd)}) {
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = base + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(f.get(), &fd));
  }
  RemoveDirectoryW(base.c_str());
}

HeldFile::HeldFile(const std::wstring& path, DWORD readyMs) {
  const std::wstring event = Unique(L"kl_hold_");
  ui::Handle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
  if (!ready) return;
  std::wstring command =
      L"\"" + BinFolder() + L"hold_open.exe\" \"" + path + L"\" 60000 " + event;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return;
  holder_.Take(pi);
  HANDLE both[2] = {ready.get(), holder_.process.get()};
  ok_ = WaitForMultipleObjects(2, both, FALSE, readyMs) == WAIT_OBJECT_0;
}

void HeldFile::Release() {
  if (!holder_.process) return;
  TerminateProcess(holder_.process.get(), 0);
  WaitForSingleObject(holder_.process.get(), 5000);
  holder_.process.reset();
  holder_.thread.reset();
}

}  // namespace testfs
