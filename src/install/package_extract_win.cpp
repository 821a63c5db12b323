#include "install/package_extract_win.h"

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"

namespace {

bool g_failureShown = false;

constexpr wchar_t kHeaderFileName[] = L"InstallInfo.kif";

// Each written file is noted with whether it starts like a program (the
// install's access rule asks that of every file it moves into place). The
// hook's context is the extractor.
void OnFileDone(const wchar_t* outputPath, const Cabinet::MemoryBlock*, uintptr_t context) {
  const auto* extractor = reinterpret_cast<const Cabinet::CExtract*>(context);
  if (outputPath) NoteWrittenFile(outputPath, extractor->DoneFileStartsLikeImage());
}

}  // namespace

bool ExtractPackage(LaunchInfo& launch) {
  g_failureShown = false;
  kl::Format(launch.extractFolder, L"%sKL_INSTALL\\", launch.workFolder);
  ForgetWrittenFiles();
  RemoveFolderTree(launch.extractFolder);
  if (PathExists(launch.extractFolder)) return false;

  Cabinet::CExtract extractor;
  BlowfishSetKey(&extractor.Cipher(), kPackageKeyLength);
  if (!extractor.HasWorkBuffer()) extractor.CreateWorkBuffer();
  if (!extractor.Initialize()) return false;
  extractor.SetQuiet(setuplog::Silent());
  extractor.SetHookContext(reinterpret_cast<uintptr_t>(&extractor));
  extractor.SetFileDoneHook(&OnFileDone);
  int result = extractor.Extract(launch.packagePath, launch.extractFolder);
  // The extractor itself tells the user how much space is missing.
  g_failureShown = result == 0 && !setuplog::Silent() &&
                   extractor.LastError().code == Cabinet::kErrorDiskSpace;
  extractor.Destroy();
  if (result != 0) setuplog::Writef(L"package extracted into %s", launch.extractFolder);
  return result != 0;
}

bool FindPackageHeaderFile(wchar_t (&path)[kPathChars]) {
  kl::Format(path, L"%s%s", g_launch->extractFolder, kHeaderFileName);
  return PathExists(path);
}

bool ExtractionFailureShown() { return g_failureShown; }
