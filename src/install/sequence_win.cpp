// The install sequence and the repair entry.
#include "install/sequence_win.h"

#include <cstring>

#include "base/format_win.h"
#include "base/keyname.h"
#include "base/text.h"
#include "install/backup_win.h"
#include "install/ime_win.h"
#include "install/install_record_win.h"
#include "install/journal.h"
#include "install/package_extract_win.h"
#include "install/placement_win.h"
#include "install/registry_win.h"
#include "install/rollback_win.h"
#include "install/shortcuts_win.h"
#include "state/setup_log_win.h"
#include "state/work_folder_win.h"
#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "sys/remove_tree_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr wchar_t kLineVerify[] = L"验证安装信息....";
constexpr wchar_t kLineStart[] = L"开始安装....";
constexpr wchar_t kLineStep1[] = L"  1.创建文件系统....";
constexpr wchar_t kLineStep2[] = L"  2.设置软件运行环境...";
constexpr wchar_t kLineStep3[] = L"  3.写入卸载信息...";
constexpr wchar_t kLineStep4[] = L"  4.备份安装数据...";
constexpr wchar_t kLineStep5[] = L"  5.创建开始菜单及桌面快捷方式...";
constexpr wchar_t kLineStep6[] = L"  6.清除安装程序创建的临时文件...";
constexpr wchar_t kLineDone[] = L"安装程序已经完成所有工作!";
constexpr wchar_t kLineDoneRestart[] = L"安装程序已经完成所有工作,但部分设置在重新启动以后方能生效!";
constexpr wchar_t kLineFailed[] = L"安装程序发生错误，所做操作已经撤销!";

bool RunSequence(InstallContext& context, const wchar_t* installDir, const wchar_t* userName,
                 const wchar_t* company);

// A failed step, for the log: its number and the last Windows error.
bool StepFailed(int step) {
  const DWORD error = ::GetLastError();
  setuplog::Writef(L"step %d failed (Windows error %lu)", step, error);
  return false;
}

bool RunSteps(InstallContext& context, const wchar_t* userName, const wchar_t* company) {
  ReportProgress(context, 2, kLineStep1);
  if (!PlaceFiles(context)) return StepFailed(1);

  ReportProgress(context, 42, kLineStep2);
  WriteVendorKey(context);
  if (!RegisterIme(context)) return StepFailed(2);

  ReportProgress(context, 72, kLineStep3);
  if (!WriteUninstallRecord(context, userName, company)) return StepFailed(3);

  ReportProgress(context, 82, kLineStep4);
  if (!BackupPackage(context)) return StepFailed(4);

  ReportProgress(context, 82, kLineStep5);
  if (!CreateShortcuts(context)) return StepFailed(5);
  return true;
}

}  // namespace

bool RunInstall(InstallContext& context, const wchar_t* installDir, const wchar_t* userName,
                const wchar_t* company) {
  // The run's journal: the caller's (it may have recorded folders it made
  // for the run) or one of its own.
  kl::InstallJournal ownJournal;
  const bool ownsJournal = context.journal == nullptr;
  if (ownsJournal) context.journal = &ownJournal;
  const bool ok = RunSequence(context, installDir, userName, company);
  if (ownsJournal) context.journal = nullptr;
  return ok;
}

namespace {

bool RunSequence(InstallContext& context, const wchar_t* installDir, const wchar_t* userName,
                 const wchar_t* company) {
  ReportProgress(context, 0, kLineVerify);
  kl::Copy(context.installDir, installDir);  // at most 259 characters
  const size_t n = kl::StrLen(context.installDir);
  if (n == 0) {
    // No folder to install into: nothing is placed anywhere.
    ReportProgress(context, -1, kLineFailed);
    UndoInstall(context);
    CleanUpInstallFiles(context);
    return false;
  }
  if (context.installDir[n - 1] != L'\\') kl::Append(context.installDir, L"\\");
  ReportProgress(context, 1, kLineStart);

  if (!RunSteps(context, userName, company)) {
    // What the completed steps created is taken back (what existed before
    // the run stays), then the run's temporary files go.
    ReportProgress(context, -1, kLineFailed);
    UndoInstall(context);
    CleanUpInstallFiles(context);
    return false;
  }

  // What this run and the earlier installs placed, for the uninstall.
  if (context.journal && context.header &&
      WriteRemovalRecord(context.header->imeName, *context.journal))
    WriteEstimatedSize(context.header->imeName);

  ReportProgress(context, 95, kLineStep6);
  CleanUpInstallFiles(context);
  ReportProgress(context, 100, context.restartNeeded ? kLineDoneRestart : kLineDone);
  return true;
}

}  // namespace

bool InstallFromWizard(HWND ownerPage, const wchar_t* installDir, const wchar_t* userName,
                       const wchar_t* company, const std::vector<std::wstring>& madeFolders) {
  InstallContext context = InitInstallContext(ownerPage, g_header);
  kl::InstallJournal journal;
  for (const std::wstring& folder : madeFolders) journal.AddPath(kl::UndoKind::kFolder, folder);
  context.journal = &journal;
  const bool ok = RunInstall(context, installDir, userName, company);
  context.journal = nullptr;
  return ok;
}

bool RunRepairInstall(InstallContext& context, const wchar_t* userName, const wchar_t* company) {
  LaunchInfo& launch = *context.launch;
  const wchar_t* installDir = g_session->installDir;
  kl::Format(launch.packagePath, L"%s_backup_.dat", installDir);
  if (!ExtractPackage(launch)) {
    setuplog::Writef(L"the backup %s cannot be extracted", launch.packagePath);
    return false;
  }

  ui::HeapBlock buffer(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, kPackageHeaderSize));
  if (!buffer) return false;
  bool ok = false;
  context.header = static_cast<PackageHeader*>(buffer.get());

  wchar_t headerFile[kPathChars];
  kl::Format(headerFile, L"%s%s", launch.extractFolder, L"InstallInfo.kif");
  if (::GetFileAttributesW(headerFile) != INVALID_FILE_ATTRIBUTES) {
    CQXMapfile map;
    // A header file shorter than the record is not a header, and a backup
    // of another product (or one whose key name is no plain name) is not
    // this product's: nothing runs.
    if (map.Open(headerFile, 0) >= kPackageHeaderSize && map.GetPointer(0)) {
      std::memcpy(buffer.get(), map.GetPointer(0), kPackageHeaderSize);
      map.Close();
      const PackageHeader& h = *context.header;
      if (kl::IsPlainKeyNameField(h.imeName, sizeof(h.imeName) / sizeof(h.imeName[0])) &&
          kl::FoldCase(h.imeName) == kl::FoldCase(g_session->imeName))
        ok = RunInstall(context, installDir, userName, company);
      else
        setuplog::Write(L"the backup holds another product");
    } else {
      setuplog::Write(L"the backup holds no complete product description");
    }
  } else {
    setuplog::Write(L"the backup holds no product description");
  }
  context.header = nullptr;
  return ok;
}

void CleanUpInstallFiles(InstallContext& context) {
  wchar_t headerFile[kPathChars];
  if (context.installDir[0] && kl::Format(headerFile, L"%sInstallInfo.kif", context.installDir))
    ::DeleteFileW(headerFile);
  RemoveWorkFolder(*context.launch);
  RemoveVirtualizedData();
}
