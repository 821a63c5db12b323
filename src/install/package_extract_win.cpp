#include "install/package_extract_win.h"

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"

namespace {

bool g_failureShown = false;

constexpr wchar_t kHeaderFileName[] = L"InstallInfo.kif";

// The extractor's file-done hook's context: the extractor, and the product
// description's path and whom to tell of it (none when tell is null).
struct DoneWatch {
  const Cabinet::CExtract* extractor;
  wchar_t headerPath[kPathChars];
  void (*tell)(const wchar_t* path);
};

// Each written file is noted with whether it starts like a program (the
// install's access rule asks that of every file it moves into place).
void OnFileDone(const wchar_t* outputPath, const Cabinet::MemoryBlock*, uintptr_t context) {
  const auto* watch = reinterpret_cast<const DoneWatch*>(context);
  if (!outputPath) return;
  NoteWrittenFile(outputPath, watch->extractor->DoneFileStartsLikeImage());
  if (watch->tell &&
      ::CompareStringOrdinal(outputPath, -1, watch->headerPath, -1, TRUE) == CSTR_EQUAL)
    watch->tell(watch->headerPath);
}

}  // namespace

bool ExtractPackage(LaunchInfo& launch, void (*onHeaderFile)(const wchar_t* path)) {
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
  DoneWatch watch = {&extractor, {}, onHeaderFile};
  if (!kl::Format(watch.headerPath, L"%s%s", launch.extractFolder, kHeaderFileName))
    watch.tell = nullptr;
  extractor.SetHookContext(reinterpret_cast<uintptr_t>(&watch));
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
