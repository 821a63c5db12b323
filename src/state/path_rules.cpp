#include "state/path_rules.h"

#include "base/keyname.h"

namespace kl {

namespace {

string16 Key(string16_view path) {
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  return FoldCase(path);
}

// a is b or b lies inside a (a and b already folded).
bool Contains(const string16& a, const string16& b) {
  if (a.empty() || b.size() < a.size()) return false;
  if (b.compare(0, a.size(), a) != 0) return false;
  return b.size() == a.size() || b[a.size()] == u'\\';
}

}  // namespace

bool IsSameOrUnder(string16_view path, string16_view folder) {
  return Contains(Key(folder), Key(path));
}

bool IsSameOrAbove(string16_view path, string16_view folder) {
  return Contains(Key(path), Key(folder));
}

bool IsGuarded(string16_view path, const GuardedFolders& guarded) {
  const string16 p = Key(path);
  if (p.empty()) return true;
  for (const string16& t : guarded.trees)
    if (Contains(Key(t), p)) return true;
  for (const string16& h : guarded.holders)
    if (Contains(p, Key(h))) return true;
  return false;
}

}  // namespace kl
