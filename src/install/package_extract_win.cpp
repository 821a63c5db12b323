#include "install/package_extract_win.h"

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"

namespace {

bool g_failureShown = false;

}  // namespace

bool ExtractPackage(LaunchInfo& launch) {
  g_failureShown = false;
  kl::Format(launch.extractFolder, L"%sKL_INSTALL\\", launch.workFolder);
  RemoveFolderTree(launch.extractFolder);
  if (PathExists(launch.extractFolder)) return false;

  Cabinet::CExtract extractor;
  BlowfishSetKey(&extractor.Cipher(), kPackageKeyLength);
  if (!extractor.HasWorkBuffer()) extractor.CreateWorkBuffer();
  if (!extractor.Initialize()) return false;
  extractor.SetQuiet(setuplog::Silent());
  int result = extractor.Extract(launch.packagePath, launch.extractFolder);
  // The extractor itself tells the user how much space is missing.
  g_failureShown = result == 0 && !setuplog::Silent() &&
                   extractor.LastError().code == Cabinet::kErrorDiskSpace;
  extractor.Destroy();
  if (result != 0) setuplog::Writef(L"package extracted into %s", launch.extractFolder);
  return result != 0;
}

bool FindPackageHeaderFile(wchar_t (&path)[kPathChars]) {
  kl::Format(path, L"%s%s", g_launch->extractFolder, L"InstallInfo.kif");
  return PathExists(path);
}

bool ExtractionFailureShown() { return g_failureShown; }
