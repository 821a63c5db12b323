#include "state/work_folder_win.h"

#include "base/text.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"
#include "ui/owners_win.h"

namespace {

// The private folder this process made (the working copy's or the work
// folder), held so that nobody renames it while the run uses it.
ui::FileHandle g_heldFolder;

bool EndsWithBackslash(const wchar_t* s) {
  size_t n = kl::StrLen(s);
  return n > 0 && s[n - 1] == L'\\';
}

}  // namespace

bool MakeHeldPrivateFolder(wchar_t (&folder)[kPathChars]) {
  folder[0] = 0;
  wchar_t temp[kPathChars];
  DWORD n = GetTempPathW(kPathChars, temp);
  if (n == 0 || n >= kPathChars) return false;
  if (!EndsWithBackslash(temp) && !kl::Append(temp, L"\\")) return false;
  ui::FileHandle hold;
  if (!CreatePrivateFolder(temp, kWorkFolderPrefix, folder, &hold)) return false;
  g_heldFolder.reset(hold.release());
  return true;
}

bool InitWorkFolder(LaunchInfo& launch) { return MakeHeldPrivateFolder(launch.workFolder); }

void ReleaseWorkFolder() { g_heldFolder.reset(); }

void RemoveWorkFolder(const LaunchInfo& launch) {
  ReleaseWorkFolder();
  RemoveFolderTree(launch.workFolder);
}
