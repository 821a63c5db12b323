#include "base/keyname.h"

namespace kl {
namespace {

bool EqualsNoCaseAscii(string16_view a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    wchar16 x = a[i];
    char y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<wchar16>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != static_cast<wchar16>(static_cast<unsigned char>(y))) return false;
  }
  return i == a.size() && b[i] == 0;
}

// "CON", "nul.txt", "COM1.log", "lpt9 .x": a device whatever the extension.
bool IsDeviceName(string16_view name) {
  string16_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$",
                                         "CLOCK$"};
  for (const char* d : kDevices)
    if (EqualsNoCaseAscii(base, d)) return true;
  if (base.size() == 4) {
    wchar16 digit = base[3];
    bool numbered = (digit >= u'0' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 ||
                    digit == 0x00B3;
    if (numbered && (EqualsNoCaseAscii(base.substr(0, 3), "COM") ||
                     EqualsNoCaseAscii(base.substr(0, 3), "LPT")))
      return true;
  }
  return false;
}

}  // namespace

const char* DescribeNameProblem(NameProblem p) {
  switch (p) {
    case NameProblem::None: return "a usable name";
    case NameProblem::Empty: return "an empty name or folder level";
    case NameProblem::DotName: return "a \".\" or \"..\" name";
    case NameProblem::Absolute: return "an absolute path";
    case NameProblem::Colon: return "a drive or stream colon";
    case NameProblem::BadCharacter: return "a character Windows file names cannot hold";
    case NameProblem::ControlCharacter: return "a control character";
    case NameProblem::TrailingDotOrSpace: return "a trailing dot or space";
    case NameProblem::DeviceName: return "a reserved device name";
    case NameProblem::Separator: return "a folder separator";
    case NameProblem::Bracket: return "a \"]\"";
    case NameProblem::TooLong: return "more than 30 characters";
  }
  return "an unusable name";
}

NameProblem CheckFileName(string16_view name) {
  if (name.empty()) return NameProblem::Empty;
  if (name == KL_T(".") || name == KL_T("..")) return NameProblem::DotName;
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar16 c = name[i];
    if (c < 0x20 || c == 0x7F) return NameProblem::ControlCharacter;
    if (c >= 0xD800 && c <= 0xDBFF) {  // a high surrogate needs its low half
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
        return NameProblem::ControlCharacter;
      ++i;
      continue;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return NameProblem::ControlCharacter;
    if (c == u'\\' || c == u'/') return NameProblem::Separator;
    if (c == u':') return NameProblem::Colon;
    if (c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|')
      return NameProblem::BadCharacter;
  }
  // "...", "x." and "x " are names the file system trims to something else.
  if (name.back() == u'.' || name.back() == u' ') return NameProblem::TrailingDotOrSpace;
  if (IsDeviceName(name)) return NameProblem::DeviceName;
  return NameProblem::None;
}

NameProblem CheckRelativePath(string16_view path) {
  if (path.empty()) return NameProblem::Empty;
  if (path[0] == u'\\' || path[0] == u'/') return NameProblem::Absolute;
  size_t start = 0;
  for (;;) {
    size_t end = path.find_first_of(KL_T("\\/"), start);
    string16_view part = path.substr(start, end == string16_view::npos ? end : end - start);
    NameProblem p = CheckFileName(part);
    if (p != NameProblem::None) return p;
    if (end == string16_view::npos) return NameProblem::None;
    start = end + 1;
  }
}

NameProblem CheckKeyName(string16_view name) {
  NameProblem p = CheckFileName(name);
  if (p != NameProblem::None) return p;
  if (name.find(u']') != string16_view::npos) return NameProblem::Bracket;
  if (name.size() > kMaxKeyNameChars) return NameProblem::TooLong;
  return NameProblem::None;
}

bool IsPlainKeyNameField(const wchar16* field, size_t cap) {
  if (!field) return false;
  const size_t n = StrLen(field, cap);
  return n < cap && IsPlainKeyName(string16_view(field, n));
}

wchar16 FoldCase(wchar16 c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<wchar16>(c - 32) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<wchar16>(c - 32);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: upper/lower pairs, even/odd before 0x138, odd/even after.
  if (c >= 0x100 && c <= 0x137) return static_cast<wchar16>(c & ~1u);
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : static_cast<wchar16>(c - 1);
  if (c >= 0x14A && c <= 0x177) return static_cast<wchar16>(c & ~1u);
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : static_cast<wchar16>(c - 1);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<wchar16>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<wchar16>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<wchar16>(c - 80);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<wchar16>(c - 32);
  return c;
}

string16 FoldCase(string16_view s) {
  string16 out(s);
  for (wchar16& c : out) c = FoldCase(c);
  return out;
}

}  // namespace kl
