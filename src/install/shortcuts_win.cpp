// Start-menu and desktop shortcuts of the installed product.
#include "install/shortcuts_win.h"

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include "base/format_win.h"
#include "base/text.h"
#include "install/rollback_win.h"
#include "state/cmdline_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "ui/owners_win.h"

namespace {

constexpr int kDescriptionChars = 256;

// A shell folder with a trailing backslash, created when missing.
bool ShellFolder(int csidl, wchar_t (&out)[MAX_PATH]) {
  out[0] = 0;
  if (FAILED(::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                out)) ||
      !out[0]) {
    out[0] = 0;
    return false;
  }
  const size_t n = kl::StrLen(out, MAX_PATH);
  if (out[n - 1] != L'\\' && !kl::Append(out, L"\\")) {
    out[0] = 0;
    return false;
  }
  return true;
}

}  // namespace

bool IsFolderName(const wchar_t* name) {
  if (!name[0]) return false;
  size_t n = 0;
  for (const wchar_t* p = name; *p; ++p, ++n) {
    if (*p < 0x20) return false;
    for (const wchar_t* bad = L"<>:\"/\\|?*"; *bad; ++bad)
      if (*p == *bad) return false;
  }
  if (name[n - 1] == L'.' || name[n - 1] == L' ') return false;  // "." and ".." among them
  return true;
}

bool ProductLinkFolders(const wchar_t* displayName, wchar_t (&desktop)[MAX_PATH],
                        wchar_t (&product)[MAX_PATH], wchar_t (&tools)[MAX_PATH]) {
  desktop[0] = product[0] = tools[0] = 0;
  ShellFolder(CSIDL_DESKTOPDIRECTORY, desktop);
  wchar_t programs[MAX_PATH];
  if (!ShellFolder(CSIDL_COMMON_PROGRAMS, programs) || !IsFolderName(displayName) ||
      !kl::Format(product, L"%s%s\\", programs, displayName) ||
      !kl::Format(tools, L"%s%s\\更多工具\\", programs, displayName)) {
    product[0] = tools[0] = 0;
    return false;
  }
  return true;
}

namespace {

bool FileExists(const wchar_t* path) {
  const DWORD attributes = ::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One row of the link table.
struct LinkSpec {
  const wchar_t* folder;       // M or T
  const wchar_t* linkName;     // file name of the link in that folder
  const wchar_t* target;       // "%s<file>" formatted with installDir
  const wchar_t* arguments;    // formatted with imeName; null: none
  int iconIndex;
  const wchar_t* description;  // formatted with displayName
  bool needsUserWords;         // written only when the user-word data file exists
};

// true when the link was written.
bool WriteLink(ShortcutWriter& writer, InstallContext& ctx, const LinkSpec& spec,
               const wchar_t* installDir, const wchar_t* imeName, const wchar_t* displayName) {
  wchar_t link[MAX_PATH];
  wchar_t target[MAX_PATH];
  wchar_t arguments[kDescriptionChars] = {};
  wchar_t description[kDescriptionChars];
  // A path that does not fit would name another file: such a link is left out.
  if (!kl::Format(link, L"%s%s", spec.folder, spec.linkName) ||
      !kl::Format(target, spec.target, installDir))
    return false;
  if (spec.arguments) kl::Format(arguments, spec.arguments, imeName);
  kl::Format(description, spec.description, displayName);
  JournalNewFile(ctx, link);
  const bool written = writer.Write(target, description, link, installDir,
                                    spec.arguments ? arguments : nullptr, spec.iconIndex);
  setuplog::Writef(written ? L"link written: %s" : L"link not written: %s", link);
  return written;
}

}  // namespace

ShortcutWriter::ShortcutWriter() {
  // Left initialised on purpose: the worker thread writes several links. A
  // thread already in the multithreaded apartment can use the object too.
  const HRESULT init = ::CoInitialize(nullptr);
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link_.out_void())) ||
      !link_ || FAILED(link_->QueryInterface(IID_IPersistStream, stream_.out_void())))
    stream_.reset();
}

ShortcutWriter::~ShortcutWriter() = default;

bool ShortcutWriter::Write(const wchar_t* target, const wchar_t* description,
                           const wchar_t* linkPath, const wchar_t* workingDir,
                           const wchar_t* arguments, int iconIndex) {
  if (!link_ || !stream_) return false;
  // Every field is set for each link: nothing of the link before carries over.
  link_->SetPath(target);
  link_->SetDescription(description);
  link_->SetWorkingDirectory(workingDir);
  link_->SetIconLocation(target, iconIndex);
  link_->SetArguments(arguments ? arguments : L"");
  link_->SetShowCmd(SW_SHOW);
  // The link's bytes are made in memory and written here, not by the link
  // object's own file save: the file is then created anew, never written
  // through a link someone put at its name (the desktop is the user's), and
  // no helper process is started for it.
  ui::ComPtr<IStream> memory;
  if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, memory.out())) ||
      FAILED(stream_->Save(memory.get(), TRUE)))
    return false;
  ULARGE_INTEGER end = {};
  HGLOBAL block = nullptr;
  if (FAILED(memory->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &end)) || end.HighPart ||
      FAILED(::GetHGlobalFromStream(memory.get(), &block)) || end.LowPart > ::GlobalSize(block))
    return false;
  const void* bytes = ::GlobalLock(block);
  if (!bytes) return false;
  const bool written = WriteFileAnew(linkPath, bytes, end.LowPart);
  ::GlobalUnlock(block);
  return written;
}

bool CreateShortcut(const wchar_t* target, const wchar_t* description, const wchar_t* linkPath,
                    const wchar_t* workingDir, const wchar_t* arguments, int iconIndex) {
  ShortcutWriter writer;
  if (!writer.ready()) return false;
  if (writer.Write(target, description, linkPath, workingDir, arguments, iconIndex))
    ::SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, linkPath, nullptr);
  return true;
}

bool CreateShortcuts(InstallContext& ctx) {
  if (!ctx.header) return true;
  // Bounded copies: the header is a byte copy of a file.
  wchar_t imeName[40];
  wchar_t displayName[44];
  wchar_t launch[MAX_PATH];
  kl::Copy(imeName, ctx.header->imeName);
  kl::Copy(displayName, ctx.header->displayName);
  kl::Copy(launch, ctx.header->launchAfterInstall);
  const wchar_t* installDir = ctx.installDir;

  wchar_t desktop[MAX_PATH];
  wchar_t product[MAX_PATH];  // M
  wchar_t tools[MAX_PATH];    // T
  const bool haveFolders = ProductLinkFolders(displayName, desktop, product, tools);
  const bool haveDesktop = desktop[0] != 0;
  if (haveFolders) {
    ShortcutWriter writer;  // one link object for every link of the run
    const LinkSpec productLinks[] = {
        {product, L"系统设置.lnk", L"%sconfig.exe", L"/n '%s'", 0, L"%s 的使用习惯更改和设定", false},
        {product, L"使用帮助.lnk", L"%smain.chm", nullptr, 0, L"查看 %s 的详细帮助文档", false},
        {product, L"检查更新.lnk", L"%sUnstall.exe", L"-g name=[%s]", 0,
         L"检查 %s 的最新服务器版本", false},
    };
    JournalNewFolders(ctx, product);
    CreateDirectoryPath(product);
    for (const LinkSpec& spec : productLinks)
      WriteLink(writer, ctx, spec, installDir, imeName, displayName);
    ::SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, product, nullptr);

    // The desktop link is the settings link again; the uninstall removes it.
    wchar_t desktopName[MAX_PATH];
    if (haveDesktop && kl::Format(desktopName, L"%s系统设置.lnk", displayName)) {
      LinkSpec onDesktop = productLinks[0];
      onDesktop.folder = desktop;
      onDesktop.linkName = desktopName;
      // One notice for the desktop, as for each folder below: the shell
      // reads the folder again, where a notice per link costs a path
      // look-up each (some 2 ms a link under Wine, more under load).
      if (WriteLink(writer, ctx, onDesktop, installDir, imeName, displayName))
        ::SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, desktop, nullptr);
    }

    wchar_t userWords[MAX_PATH];
    const bool haveUserWords = GetProductDataFolder(imeName, userWords) &&
                               kl::Append(userWords, L"danzi.kmi") && FileExists(userWords);
    const LinkSpec toolLinks[] = {
        {tools, L"码表查询.lnk", L"%sconfig.exe", L"/n '%s' /do mabiaochaxun", 2,
         L"查询 %s 中的编码定义", false},
        {tools, L"按键功能.lnk", L"%sconfig.exe", L"/n '%s' /do anjianshezhi", 3,
         L"更改或定义 %s 按键功能", false},
        {tools, L"添加用户词.lnk", L"%sconfig.exe", L"/n '%s' /do tianjiayonghuci", 6,
         L"%s 用户词添加操作", true},
        {tools, L"修复安装.lnk", L"%sUnstall.exe", L"-r name=[%s]", 0, L"修复 %s 至新安装状态", false},
        {tools, L"卸载软件.lnk", L"%sUnstall.exe", L"-u name=[%s]", 0, L"卸载 %s 程序", false},
    };
    JournalNewFolders(ctx, tools);
    CreateDirectoryPath(tools);
    for (const LinkSpec& spec : toolLinks) {
      if (spec.needsUserWords && !haveUserWords) continue;
      WriteLink(writer, ctx, spec, installDir, imeName, displayName);
    }

    ::SHChangeNotify(SHCNE_ALLEVENTS, SHCNF_PATHW | SHCNF_FLUSH, tools, nullptr);
  }

  if (launch[0]) {
    wchar_t program[MAX_PATH];
    // An unattended run starts no program: it would show its window.
    if (setuplog::Silent())
      setuplog::Writef(L"not started in a silent run: %s", launch);
    else if (kl::Format(program, L"%s%s", installDir, launch))
      ::ShellExecuteW(nullptr, L"", program, L"", nullptr, SW_SHOW);
  }
  return true;
}
