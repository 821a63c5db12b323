// The packager's manifest: "key = value" lines naming PackageHeader fields.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>

#include "base/keyname.h"
#include "klpack.h"
#include "util.h"

namespace klpack {
namespace {

constexpr size_t kMaxManifestLine = 4096;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool Digits(const std::string& s, size_t at, size_t n, int* v) {
  if (at + n > s.size()) return false;
  int r = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    r = r * 10 + (s[i] - '0');
  }
  *v = r;
  return true;
}

// "YYYY-MM-DD HH:MM:SS" -> DOS date and time.
bool ParseFileTime(const std::string& s, uint16_t* date, uint16_t* time) {
  int y, mo, d, h, mi, se;
  if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
      s[16] != ':')
    return false;
  if (!Digits(s, 0, 4, &y) || !Digits(s, 5, 2, &mo) || !Digits(s, 8, 2, &d) ||
      !Digits(s, 11, 2, &h) || !Digits(s, 14, 2, &mi) || !Digits(s, 17, 2, &se))
    return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1980 || y > 2107 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 ||
      mi > 59 || se > 59)
    return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return false;
  *date = static_cast<uint16_t>(((y - 1980) << 9) | (mo << 5) | d);
  *time = static_cast<uint16_t>((h << 11) | (mi << 5) | (se / 2));
  return true;
}

}  // namespace

const std::vector<FieldInfo>& HeaderFields() {
#define KL_FIELD(f) {#f, offsetof(PackageHeader, f), sizeof(PackageHeader::f) / sizeof(wchar16)}
  static const std::vector<FieldInfo> fields = {
      KL_FIELD(imeName),      KL_FIELD(layoutText),    KL_FIELD(displayName),
      KL_FIELD(comments),     KL_FIELD(publisher),     KL_FIELD(displayVersion),
      KL_FIELD(contact),      KL_FIELD(urlInfoAbout),  KL_FIELD(helpLink),
      KL_FIELD(urlUpdateInfo), KL_FIELD(helpTelephone), KL_FIELD(launchAfterInstall),
  };
#undef KL_FIELD
  return fields;
}

Status ParseManifest(const std::string& text, const std::string& source, Manifest* out) {
  *out = Manifest{};
  std::set<std::string> seen;
  size_t pos = 0;
  int lineNo = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;  // byte-order mark
  const std::string src = Quote(source, 200);
  while (pos < text.size()) {
    // A line ends at "\r\n", "\n" or a lone "\r".
    size_t nl = text.find_first_of("\r\n", pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (nl + 1 < text.size() && text[nl] == '\r' && text[nl + 1] == '\n') ++pos;
    ++lineNo;
    const std::string where = src + ":" + std::to_string(lineNo) + ": ";
    if (line.size() > kMaxManifestLine)
      return Status::Input(where + "line longer than " + std::to_string(kMaxManifestLine) +
                           " bytes");
    if (!IsValidUtf8(line)) return Status::Input(where + "not valid UTF-8");
    if (line.find('\0') != std::string::npos)
      return Status::Input(where + "holds a NUL byte");
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return Status::Input(where + "missing \"=\" in " + Quote(t));
    std::string key = Trim(t.substr(0, eq));
    std::string value = Trim(t.substr(eq + 1));
    if (!seen.insert(key).second) return Status::Input(where + "duplicate key " + Quote(key));
    if (key == "fileTime") {
      if (!ParseFileTime(value, &out->date, &out->time))
        return Status::Input(where + "fileTime must be \"YYYY-MM-DD HH:MM:SS\" (1980..2107): " +
                             Quote(value));
      continue;
    }
    if (key == "setId") {
      int v = 0;
      if (value.empty() || value.size() > 5 || !Digits(value, 0, value.size(), &v) || v > 65535)
        return Status::Input(where + "setId must be a number from 0 to 65535: " + Quote(value));
      out->haveSetId = true;
      out->setId = static_cast<uint16_t>(v);
      continue;
    }
    const FieldInfo* field = nullptr;
    for (const FieldInfo& f : HeaderFields())
      if (key == f.name) field = &f;
    if (!field) return Status::Input(where + "unknown key " + Quote(key));
    kl::string16 v = kl::FromUtf8(value);
    // Fields that become names of folders, files and registry keys.
    kl::NameProblem problem = kl::NameProblem::None;
    if (key == "imeName") problem = kl::CheckKeyName(v);
    else if (key == "displayName") problem = kl::CheckFileName(v);
    else if (key == "launchAfterInstall" && !v.empty()) problem = kl::CheckRelativePath(v);
    if (problem != kl::NameProblem::None)
      return Status::Input(where + key + " " + Quote(value) + " cannot be used: " +
                           kl::DescribeNameProblem(problem) +
                           (key == "imeName" ? " (a key name is a plain name of at most 30 characters)"
                                             : ""));
    if (v.size() + 1 > field->units)
      return Status::Input(where + key + " is " + std::to_string(v.size()) +
                           " UTF-16 units long; at most " + std::to_string(field->units - 1) +
                           " fit");
    auto* dst = reinterpret_cast<wchar16*>(reinterpret_cast<unsigned char*>(&out->header) +
                                           field->offset);
    kl::CopyN(dst, field->units, v.c_str());
  }
  if (!seen.count("imeName") || out->header.imeName[0] == 0)
    return Status::Input(src + ": imeName is required");
  if (!seen.count("displayName") || out->header.displayName[0] == 0)
    return Status::Input(src + ": displayName is required");
  return Status::Ok();
}

Status LoadManifest(const fs::path& file, Manifest* out) {
  std::vector<unsigned char> bytes;
  Status s = ReadWholeFile(file, &bytes, kMaxManifestBytes);
  if (!s.ok()) return s;
  return ParseManifest(std::string(bytes.begin(), bytes.end()), PathToUtf8(file), out);
}

std::vector<unsigned char> HeaderBytes(const PackageHeader& h) {
  std::vector<unsigned char> out(kPackageHeaderSize, 0);
  // Written field by field as UTF-16LE whatever the build's byte order.
  for (const FieldInfo& f : HeaderFields()) {
    auto* src = reinterpret_cast<const wchar16*>(reinterpret_cast<const unsigned char*>(&h) +
                                                 f.offset);
    for (size_t i = 0; i < f.units; ++i) {
      uint16_t u = static_cast<uint16_t>(src[i]);
      out[f.offset + 2 * i] = static_cast<unsigned char>(u);
      out[f.offset + 2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
  }
  return out;
}

bool HeaderFromBytes(const std::vector<unsigned char>& bytes, PackageHeader* out) {
  if (bytes.size() < kPackageHeaderSize) return false;
  std::memset(out, 0, sizeof(*out));
  for (const FieldInfo& f : HeaderFields()) {
    auto* dst = reinterpret_cast<wchar16*>(reinterpret_cast<unsigned char*>(out) + f.offset);
    for (size_t i = 0; i < f.units; ++i)
      dst[i] = static_cast<wchar16>(bytes[f.offset + 2 * i] | bytes[f.offset + 2 * i + 1] << 8);
    dst[f.units - 1] = 0;
  }
  return true;
}

}  // namespace klpack
