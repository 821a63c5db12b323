// Costs of the routines the install sequence spends its time in, one by one
// (run under Wine inside scripts/wine-session.sh):
//
//   bench_install_steps_win.exe [FILES] [KB_PER_FILE] [REPEATS]
//
// Builds a tree of FILES files (default 310, 32 KB each) in 16 subfolders
// under the temporary folder and times, REPEATS times (default 3, median
// printed):
//   move     CopyFolder with keep-source 0 into a second folder on the same
//            volume (what install step 1 does with the extraction folder)
//   copy     CopyFolder with keep-source 1 (every file copied and granted)
//   grant    GrantUsersAccess on one file (per call)
//   rmtree   RemoveFolderTree of the moved tree (interpreter start to exit)
//   vstore   RemoveVirtualizedData (23 removals, usually of nothing)
//   inuse    the IME-in-use scan for a module nobody holds
//   fontmsg  the WM_FONTCHANGE broadcast alone
//   link     CreateShortcut (first one, then the mean of eight more) and the
//            flushed SHChangeNotify of step 5
// and then keeps an idle-class interpreter running for ~2 s (look at its
// nice value with ps).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include "install/inuse_win.h"
#include "install/shortcuts_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"
#include "testfs_win.h"

namespace {

double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Show(const char* name, const std::vector<double>& v, const char* what,
          const char* unit = "ms") {
  std::printf("%-8s median %8.2f %s  (runs:", name, Median(v), unit);
  for (double x : v) std::printf(" %.1f", x);
  std::printf(")  %s\n", what);
  std::fflush(stdout);
}

std::wstring Temp() {
  wchar_t t[MAX_PATH];
  GetTempPathW(MAX_PATH, t);
  return t;
}

void MakeTree(const std::wstring& root, int files, int kb) {
  std::vector<char> data(static_cast<size_t>(kb) * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  CreateDirectoryPath((root + L"\\").c_str());
  for (int i = 0; i < files; ++i) {
    const std::wstring folder = root + L"\\sub" + std::to_wstring(i % 16) + L"\\";
    CreateDirectoryPath(folder.c_str());
    const std::wstring name = folder + L"file_" + std::to_wstring(i) + L".bin";
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD written = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
  }
}

// bench_install_steps_win.exe security [FILES] [REPEATS]
//   where the placement move's time goes, per file: the rename alone, the
//   one-call access reset with the Users grant that the move makes now
//   (SetNamedSecurityInfoW, the new parent's inheritable entries merged in
//   by the system), the same through an open handle (SetSecurityInfo), and
//   the list that the first call in a folder produced written as it is to
//   the other files of that folder (SetFileSecurityW). Each way's result is
//   read back and compared with the one-call result.
using testfs::DaclText;

int SecurityProfile(int files, int repeats) {
  const std::wstring base = Temp() + L"kl_sec_bench";
  const std::wstring src = base + L"\\src";
  const std::wstring dst = base + L"\\dst";
  // The Users grant as the only explicit entry (what the move writes).
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof users;
  CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &sidSize);
  ui::HeapBlock acl;
  if (!BuildUsersAcl(nullptr, users, acl)) return 1;
  PACL usersAcl = static_cast<PACL>(acl.get());
  auto path = [&](const std::wstring& root, int i) {
    return root + L"\\sub" + std::to_wstring(i % 16) + L"\\file_" + std::to_wstring(i) + L".bin";
  };
  std::vector<double> rename, named, handle, copied, onehandle;
  int differ = 0;
  for (int r = 0; r < repeats; ++r) {
    RemoveFolderTree(base.c_str());
    MakeTree(src, files, 1);
    for (int f = 0; f < 16; ++f) CreateDirectoryPath((dst + L"\\sub" + std::to_wstring(f) + L"\\").c_str());

    double t = NowMs();
    for (int i = 0; i < files; ++i) MoveFileExW(path(src, i).c_str(), path(dst, i).c_str(), MOVEFILE_REPLACE_EXISTING);
    rename.push_back((NowMs() - t) * 1000 / files);

    // Thirds of the files: each way on its own share of every folder.
    const int third = files / 3;
    t = NowMs();
    for (int i = 0; i < third; ++i)
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path(dst, i).c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, usersAcl, nullptr);
    named.push_back((NowMs() - t) * 1000 / third);

    t = NowMs();
    for (int i = third; i < 2 * third; ++i) {
      HANDLE h = CreateFileW(path(dst, i).c_str(), READ_CONTROL | WRITE_DAC,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, usersAcl, nullptr);
      CloseHandle(h);
    }
    handle.push_back((NowMs() - t) * 1000 / third);

    // The list of the folder's first file (set the one-call way above),
    // written as it is.
    std::vector<std::vector<BYTE>> lists(16);
    for (int f = 0; f < 16 && f < third; ++f) {
      DWORD size = 0;
      const std::wstring first = path(dst, f);
      GetFileSecurityW(first.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
      lists[f].resize(size);
      GetFileSecurityW(first.c_str(), DACL_SECURITY_INFORMATION, lists[f].data(), size, &size);
    }
    t = NowMs();
    for (int i = 2 * third; i < files; ++i)
      SetFileSecurityW(path(dst, i).c_str(), DACL_SECURITY_INFORMATION, lists[i % 16].data());
    copied.push_back((NowMs() - t) * 1000 / (files - 2 * third));

    // The rename and the list write through one handle, on a second tree.
    const std::wstring src2 = base + L"\\src2";
    const std::wstring dst2 = base + L"\\dst2";
    MakeTree(src2, files, 1);
    for (int f = 0; f < 16; ++f) CreateDirectoryPath((dst2 + L"\\sub" + std::to_wstring(f) + L"\\").c_str());
    std::vector<BYTE> info(sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t));
    t = NowMs();
    for (int i = 0; i < files; ++i) {
      HANDLE h = CreateFileW(path(src2, i).c_str(), DELETE | READ_CONTROL | WRITE_DAC | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      const std::wstring to = path(dst2, i);
      auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
      rename->ReplaceIfExists = TRUE;
      rename->RootDirectory = nullptr;
      rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
      std::memcpy(rename->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
      SetFileInformationByHandle(h, FileRenameInfo, rename, static_cast<DWORD>(info.size()));
      SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, lists[i % 16].data());
      CloseHandle(h);
    }
    onehandle.push_back((NowMs() - t) * 1000 / files);
    for (int i = 0; i < files; ++i)
      if (GetFileAttributesW(path(dst2, i).c_str()) == INVALID_FILE_ATTRIBUTES ||
          DaclText(path(dst2, i)) != DaclText(path(dst, 0)))
        ++differ;

    const std::wstring want = DaclText(path(dst, 0));
    for (int i = 0; i < files; ++i)
      if (DaclText(path(dst, i)) != want) ++differ;
    if (r == 0) std::printf("access list of a moved file: %ls\n", want.c_str());
  }
  RemoveFolderTree(base.c_str());
  std::printf("%d files, %d rounds; per file\n", files, repeats);
  Show("rename", rename, "MoveFileExW alone", "us");
  Show("named", named, "SetNamedSecurityInfoW, Users entry + new parent's (the move's call)", "us");
  Show("handle", handle, "open + SetSecurityInfo, same arguments + close", "us");
  Show("copied", copied, "SetFileSecurityW with the list the folder's first file got", "us");
  Show("onehandl", onehandle, "one handle: rename and the list written through it (both parts)", "us");
  std::printf("files whose access list differs from the one-call result (or missing): %d\n", differ);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "security") == 0)
    return SecurityProfile(argc > 2 ? std::atoi(argv[2]) : 310,
                           argc > 3 ? std::max(1, std::atoi(argv[3])) : 3);
  const int files = argc > 1 ? std::atoi(argv[1]) : 310;
  const int kb = argc > 2 ? std::atoi(argv[2]) : 32;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::wstring base = Temp() + L"kl_steps_bench";
  const std::wstring src = base + L"\\src";
  const std::wstring dst = base + L"\\dst";
  const std::wstring cpy = base + L"\\cpy";

  std::vector<double> move, copy, rmtree, grant, vstore, inuse, fontmsg, link1, links, writerLinks, notify;
  for (int r = 0; r < repeats; ++r) {
    RemoveFolderTree(base.c_str());
    MakeTree(src, files, kb);

    double t = NowMs();
    CopyFolder(src.c_str(), cpy.c_str(), 1);
    copy.push_back(NowMs() - t);

    t = NowMs();
    CopyFolder(src.c_str(), dst.c_str(), 0);
    move.push_back(NowMs() - t);

    const std::wstring one = dst + L"\\sub0\\file_0.bin";
    t = NowMs();
    for (int i = 0; i < 20; ++i) GrantUsersAccess(one.c_str());
    grant.push_back((NowMs() - t) / 20);

    t = NowMs();
    RemoveFolderTree(dst.c_str());
    rmtree.push_back(NowMs() - t);

    t = NowMs();
    RemoveVirtualizedData();
    vstore.push_back(NowMs() - t);

    t = NowMs();
    std::vector<ImeProcessRecord> found;
    FindImeProcesses(L"KlBenchNobody.kelo.ime", &found);
    inuse.push_back(NowMs() - t);

    t = NowMs();
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored);
    fontmsg.push_back(NowMs() - t);

    // Shell links as install step 5 writes them (eight, all to one target).
    CreateDirectoryPath((base + L"\\links\\").c_str());
    const std::wstring target = base + L"\\links\\config.exe";
    t = NowMs();
    CreateShortcut(target.c_str(), L"first", (base + L"\\links\\first.lnk").c_str(),
                   base.c_str(), L"/n 'x'", 0);
    link1.push_back(NowMs() - t);
    t = NowMs();
    for (int i = 0; i < 8; ++i)
      CreateShortcut(target.c_str(), L"link", (base + L"\\links\\l" + std::to_wstring(i) + L".lnk").c_str(),
                     base.c_str(), L"/n 'x' /do y", i);
    links.push_back((NowMs() - t) / 8);
    // As step 5 writes them now: one writer (one link object) for all.
    t = NowMs();
    {
      ShortcutWriter writer;
      for (int i = 0; i < 8; ++i)
        writer.Write(target.c_str(), L"link", (base + L"\\links\\w" + std::to_wstring(i) + L".lnk").c_str(),
                     base.c_str(), L"/n 'x' /do y", i);
    }
    writerLinks.push_back((NowMs() - t) / 8);
    t = NowMs();
    SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_PATHW | SHCNF_FLUSH, (base + L"\\links\\").c_str(), nullptr);
    notify.push_back(NowMs() - t);
  }
  RemoveFolderTree(base.c_str());

  // The interpreter alone, on an empty folder: RemoveFolderTree's whole time,
  // and for a copy of its start (suspended, idle class, resumed, waited for)
  // the process's own life as the system records it against the time the
  // wait took to return.
  std::vector<double> empty, life, waited;
  for (int r = 0; r < repeats; ++r) {
    const std::wstring folder = base + L"_empty\\";
    CreateDirectoryPath(folder.c_str());
    double t = NowMs();
    RemoveFolderTree(folder.c_str());
    empty.push_back(NowMs() - t);

    CreateDirectoryPath(folder.c_str());
    wchar_t comspec[MAX_PATH], shortName[MAX_PATH];
    GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH);
    GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
    std::wstring cmd = std::wstring(comspec) + L" /c rmdir \"" + shortName + L"\" /s /q";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    t = NowMs();
    if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &si, &pi)) {
      SetPriorityClass(pi.hProcess, IDLE_PRIORITY_CLASS);
      ResumeThread(pi.hThread);
      WaitForSingleObject(pi.hProcess, 1000);
      waited.push_back(NowMs() - t);
      FILETIME created, exited, kernel, user;
      if (GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user)) {
        ULARGE_INTEGER a, b;
        a.LowPart = created.dwLowDateTime; a.HighPart = created.dwHighDateTime;
        b.LowPart = exited.dwLowDateTime; b.HighPart = exited.dwHighDateTime;
        life.push_back(static_cast<double>(b.QuadPart - a.QuadPart) / 10000.0);
      }
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    RemoveDirectoryW(folder.c_str());
  }

  std::printf("%d files of %d KB, %d rounds\n", files, kb, repeats);
  Show("rmempty", empty, "RemoveFolderTree of an empty folder");
  Show("waited", waited, "CreateProcess of the interpreter to the wait's return");
  Show("life", life, "the interpreter's creation to exit (GetProcessTimes)");
  Show("move", move, "CopyFolder keep-source 0, same volume");
  Show("copy", copy, "CopyFolder keep-source 1");
  Show("grant", grant, "GrantUsersAccess, per call");
  Show("rmtree", rmtree, "RemoveFolderTree of the moved tree");
  Show("vstore", vstore, "RemoveVirtualizedData");
  Show("inuse", inuse, "in-use scan, module held by nobody");
  Show("fontmsg", fontmsg, "WM_FONTCHANGE broadcast, 1000 ms abort-if-hung");
  Show("link1", link1, "CreateShortcut, first of the round");
  Show("link", links, "CreateShortcut, per link after the first");
  Show("wlink", writerLinks, "ShortcutWriter::Write, per link (one object for eight, as step 5)");
  Show("notify", notify, "SHChangeNotify all events, flush");

  // An interpreter started the way RemoveFolderTree starts it (suspended,
  // then IDLE_PRIORITY_CLASS) and kept alive for about two seconds: the nice
  // value Wine gives it is read from outside with ps.
  wchar_t comspec[MAX_PATH];
  if (GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH)) {
    std::wstring cmd = std::wstring(comspec) + L" /c ping -n 3 127.0.0.1 >nul";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &si, &pi)) {
      SetPriorityClass(pi.hProcess, IDLE_PRIORITY_CLASS);
      ResumeThread(pi.hThread);
      Sleep(300);
      std::printf("idle interpreter: class 0x%lx, pid %lu (see the nice column of ps)\n",
                  static_cast<unsigned long>(GetPriorityClass(pi.hProcess)),
                  static_cast<unsigned long>(pi.dwProcessId));
      std::fflush(stdout);
      WaitForSingleObject(pi.hProcess, 5000);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  return 0;
}
