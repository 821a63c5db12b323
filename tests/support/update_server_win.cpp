#include "update_server_win.h"

#include <wininet.h>

#include <cstdlib>

#include "base/text.h"
#include "testfs_win.h"

namespace testsrv {

std::string UnixPath(const std::wstring& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!fn) return {};
  char* p = fn(path.c_str());
  if (!p) return {};
  std::string r(p);
  HeapFree(GetProcessHeap(), 0, p);
  return r;
}

namespace {

std::wstring QuotedUnix(const std::wstring& windowsPath) {
  return L"\"" + kl::FromUtf8(UnixPath(windowsPath).c_str()) + L"\"";
}

// Wine gives back no handle to wait on for a Unix program: callers wait
// for what it makes.
bool StartUnix(const wchar_t* program, const std::wstring& arguments) {
  robot::Process p;
  return robot::Start(program, arguments, &p);
}

}  // namespace

bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath) {
  const size_t cut = linkPath.find_last_of(L'\\');
  if (UnixPath(target).empty() || cut == std::wstring::npos) return false;
  // The parent's Unix path with the link's name after it (the link does not
  // exist yet).
  const std::wstring parent = QuotedUnix(linkPath.substr(0, cut));
  const std::wstring args = L"-s " + QuotedUnix(target) + L" " +
                            parent.substr(0, parent.size() - 1) + L"/" +
                            linkPath.substr(cut + 1) + L"\"";
  return StartUnix(L"Z:\\usr\\bin\\ln", args) &&
         robot::WaitUntil(
             [&] { return GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES; },
             10000, 20);
}

bool RemoveUnixTree(const std::wstring& path) {
  return StartUnix(L"Z:\\usr\\bin\\rm", L"-rf " + QuotedUnix(path)) &&
         robot::WaitUntil(
             [&] { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; }, 10000,
             20);
}

bool UpdateServer::Start(const std::wstring& work, const std::wstring& root,
                         const std::string& script) {
  portFile_ = work + L"port.txt";
  log_ = work + L"requests.log";
  DeleteFileW(portFile_.c_str());
  DeleteFileW(log_.c_str());
  const std::string args = "\"" + script + "\" --root \"" + UnixPath(root) + "\" --port-file \"" +
                           UnixPath(portFile_) + "\" --log \"" + UnixPath(log_) +
                           "\" --lifetime 600 --stall-seconds 60";
  robot::Process p;
  if (!robot::Start(L"Z:\\usr\\bin\\python3", kl::FromUtf8(args), &p)) return false;
  process_ = std::move(p);
  return robot::WaitUntil(
      [&] {
        port_ = atoi(testfs::ReadText(portFile_).c_str());
        return port_ > 0;
      },
      20000);
}

void UpdateServer::Stop() {
  if (port_ > 0) Get(L"/__control?stop=1");
  if (process_.valid()) robot::WaitExit(process_, 5000);
  port_ = 0;
}

bool UpdateServer::Rule(const std::wstring& path, const wchar_t* mode) {
  return Get(L"/__control?path=" + path + L"&mode=" + mode) == "ok";
}

std::string UpdateServer::Get(const std::wstring& path) {
  HINTERNET net = InternetOpenW(L"kltest", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!net) return {};
  std::string body;
  if (HINTERNET u = InternetOpenUrlW(net, (Base() + path).c_str(), nullptr, 0,
                                     INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD, 0)) {
    char buf[512];
    DWORD got = 0;
    while (InternetReadFile(u, buf, sizeof buf, &got) && got) body.append(buf, got);
    InternetCloseHandle(u);
  }
  InternetCloseHandle(net);
  return body;
}

std::string UpdateServer::Log() const { return testfs::ReadText(log_); }

}  // namespace testsrv
