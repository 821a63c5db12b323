#include "app/startup_win.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>

#include "app/cmdline_win.h"
#include "app/package_prep_win.h"
#include "app/records.h"
#include "app/remove_tree_win.h"
#include "app/working_copy_win.h"
#include "base/keyname.h"
#include "package/mapfile_win.h"
#include "remove/operation_dlg_win.h"
#include "ui/owners_win.h"
#include "update/autoupdate_dlg_win.h"
#include "wizard/wizard_win.h"

int g_exitCode = 0;

namespace {

constexpr const wchar_t* kCannotRunText = L"程序无法执行任何操作，可能启动参数错误或者文件格式错误。";
constexpr const wchar_t* kCannotRunCaption = L"安装程序提示信息";

void* AllocZeroed(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }

// Copies the product description from the start of InstallInfo.kif. A file
// shorter than the record fills only its own length; the rest stays zero.
bool ReadPackageHeader(const wchar_t* path, PackageHeader& header) {
  CQXMapfile manifest;
  if (!manifest.Open(path, 0)) return false;
  const unsigned char* view = manifest.GetPointer(0);
  if (!view) return false;
  const size_t n = std::min<size_t>(manifest.GetSize(), sizeof(PackageHeader));
  std::memset(&header, 0, sizeof(header));
  std::memcpy(&header, view, n);
  manifest.Close();
  return true;
}

// Install mode up to the wizard. false on any failure.
bool PrepareInstall() {
  if (!PrepareInstallPackage()) return false;
  if (!ExtractPackage(*g_launch)) return false;
  wchar_t headerPath[kPathChars];
  if (!FindPackageHeaderFile(headerPath)) return false;
  // The key name becomes folders, registry keys and the name=[...] switch:
  // a package whose key name is not a plain one is refused before any use.
  return ReadPackageHeader(headerPath, *g_header) &&
         kl::IsPlainKeyNameField(g_header->imeName, sizeof(g_header->imeName) / sizeof(wchar_t));
}

// What the run does after the mode is known. true when the work folder is to
// be removed and the working copy deleted afterwards; false when the process
// ends leaving both in place.
bool RunOperation() {
  switch (g_launch->mode) {
    case kModeUninstall:
    case kModeRepair: {
      if (!g_session->installDir[0]) return false;  // nothing installed: end silently
      // The dialog ends the run; the work folder and the working copy go
      // afterwards as for an install, also when the operation could not go
      // on (exit code 1), so that nothing of ours stays in the temporary
      // folder.
      if (g_launch->mode == kModeUninstall) {
        CCKL_Uninstall dialog;
        dialog.DoModal(nullptr);
        g_exitCode = dialog.exitCode();
      } else {
        CKL_Repair dialog;
        dialog.DoModal(nullptr);
        g_exitCode = dialog.exitCode();
      }
      return true;
    }
    case kModeUpdate: {
      if (!g_session->installDir[0]) return false;  // nothing installed: end silently
      // Downloads and unpacked drivers go into the work folder, which the
      // clean-up below removes with the working copy.
      CKL_AutoUpdateDlg dialog;
      dialog.SetName(g_session->imeName);
      dialog.SetDownloadFolder(g_launch->workFolder);
      dialog.DoModal(nullptr);
      return true;
    }
    default:
      break;
  }

  if (!PrepareInstall()) {
    if (!ExtractionFailureShown())
      MessageBoxW(nullptr, kCannotRunText, kCannotRunCaption, MB_ICONHAND | MB_OK);
    return true;
  }
  {
    CKL_Install_BaseDlg wizard;
    wizard.DoModal(nullptr);
  }
  return true;
}

}  // namespace

int InitInstance(const wchar_t* arguments) {
  g_exitCode = 0;
  ui::HeapBlock launchBlock(AllocZeroed(sizeof(LaunchInfo)));
  ui::HeapBlock sessionBlock(AllocZeroed(sizeof(InstallSession)));
  ui::HeapBlock headerBlock(AllocZeroed(sizeof(PackageHeader)));
  if (!launchBlock || !sessionBlock || !headerBlock) return 1;
  g_launch = static_cast<LaunchInfo*>(launchBlock.get());
  g_session = static_cast<InstallSession*>(sessionBlock.get());
  g_header = static_cast<PackageHeader*>(headerBlock.get());
  BuildLaunchInfo(*g_launch);

  if (RelaunchFromWorkingCopy(arguments)) {
    ParseCommandLine();

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = 8;
    icc.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&icc);
    EnableActiveXHosting();  // the licence dialog hosts the web-browser control

    if (RunOperation()) {
      RemoveFolderTree(g_launch->workFolder);
      ScheduleSelfDelete();
    }
  }

  g_launch = nullptr;
  launchBlock.reset();
  g_header = nullptr;
  headerBlock.reset();
  g_session = nullptr;
  sessionBlock.reset();
  return 1;
}
