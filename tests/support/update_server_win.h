// The test update server (tests/support/update_server.py) started from a
// Windows test under Wine: Python runs as a Unix program on a free port of
// 127.0.0.1, serving a folder; the test sets per-path behaviours (404, cut,
// stall, list encodings) and reads the request log. Stopped by Stop or the
// owner's end (and by itself after ten minutes).
#pragma once

#include <windows.h>

#include <string>

#include "robot_win.h"

namespace testsrv {

// The Unix path of a Windows path (Wine's own conversion); "" outside Wine.
std::string UnixPath(const std::wstring& path);

// Makes a symbolic link at linkPath to target on the Unix side (Wine then
// reports it as a reparse point, as a standard user's link would be) and
// waits until Wine sees it; false when it did not appear. RemoveUnixTree
// takes a tree away there, never following a link.
bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath);
bool RemoveUnixTree(const std::wstring& path);

class UpdateServer {
 public:
  UpdateServer() = default;
  ~UpdateServer() { Stop(); }
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Serves root; the port file and the request log go into work. script is
  // the Unix path of update_server.py (tests: KL_SOURCE_DIR
  // "/tests/support/update_server.py").
  bool Start(const std::wstring& work, const std::wstring& root, const std::string& script);
  void Stop();
  bool running() const { return port_ > 0; }

  // "http://127.0.0.1:<port>"
  std::wstring Base() const { return L"http://127.0.0.1:" + std::to_wstring(port_); }
  // Sets a path's behaviour: 404, cut, stall, unsized, ok, or a list encoding
  // (utf8bom, utf8, utf16le, utf16be, ansi, asis).
  bool Rule(const std::wstring& path, const wchar_t* mode);
  // The body of a GET (for control requests).
  std::string Get(const std::wstring& path);
  // The request lines so far ("GET /path user-agent").
  std::string Log() const;

 private:
  robot::Process process_;
  std::wstring portFile_, log_;
  int port_ = 0;
};

}  // namespace testsrv
