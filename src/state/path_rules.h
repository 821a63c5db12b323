// Which folders an elevated install may go into and an uninstall may clear
// whole: the comparison rules, kept apart from the folder look-ups (the
// Windows side, install/protected_folders_win) so that they can be tested
// anywhere. Paths are full paths; letter case is folded as the file system
// folds it and trailing backslashes do not count.
#pragma once

#include <vector>

#include "base/text.h"

namespace kl {

// path is folder or lies inside it.
bool IsSameOrUnder(string16_view path, string16_view folder);
// path is folder or holds it (at any depth).
bool IsSameOrAbove(string16_view path, string16_view folder);

struct GuardedFolders {
  std::vector<string16> trees;    // the folder and everything under it
  std::vector<string16> holders;  // the folder and every folder that holds it
};

// true when path lies in one of the trees, or is or holds one of the
// holders. An empty entry guards nothing.
bool IsGuarded(string16_view path, const GuardedFolders& guarded);

}  // namespace kl
