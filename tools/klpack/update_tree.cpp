// klpack update-tree and the inspection of update lists.
#include "update_tree.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "base/keyname.h"
#include "base/le.h"
#include "package/cab_writer.h"
#include "check.h"
#include "pe_resources.h"
#include "publisher_key.h"
#include "update/update_list.h"
#include "update/version_block.h"
#include "util.h"

namespace klpack {
namespace {

constexpr size_t kMaxDriverBytes = 64u << 20;
constexpr const char kListRelative[] = "_supports/klime_drives/UpdateList.txt";

struct Published {
  int32_t type;
  std::string typeId;  // "IME_MAIN"
  std::string name;    // list NAME
  std::string file;    // name inside the cabinet
  fs::path source;
};

std::string U8(const kl::wchar16* s) { return kl::ToUtf8(kl::string16_view(s, kl::StrLen(s))); }

// The extension the client looks for inside the cabinet, by type; "" for
// types update-tree does not publish.
const char* ExtensionFor(int32_t type) {
  switch (type) {
    case klupdate::kTypeKmeDrive:
    case klupdate::kTypeSkinDrive: return ".dll";
    case klupdate::kTypeImeMain: return ".ime";
    case klupdate::kTypeConfigDrive:
    case klupdate::kTypeInstallBaseDrive: return ".exe";
    default: return "";
  }
}

// Names go into URLs, list lines and file names on Windows: letters, digits,
// '_', '-', '.', at most 39 characters, not starting with '.'.
bool IsPlainName(const std::string& s) {
  if (s.empty() || s.size() > 39 || s[0] == '.') return false;
  for (char c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '-' || c == '.'))
      return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A text shown in a report or message, in quotes: control characters and
// quotes as \xNN (the texts are UTF-8 made by the tool itself).
std::string Shown(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if ((c >= 0x20 && c < 0x7F && c != '"') || c >= 0x80) {  // UTF-8 from our own decoding
      r += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      r += buf;
    }
  }
  return "\"" + r + "\"";
}

// Makes every folder level of rel below root (never through a link).
Status MakeFolders(const fs::path& root, const std::vector<std::string>& levels, fs::path* dir) {
  std::error_code ec;
  fs::path p = root;
  std::vector<fs::path> chain{p};
  for (const auto& l : levels) chain.push_back(p /= PathFromUtf8(l));
  for (const fs::path& level : chain) {
    const fs::file_status st = fs::symlink_status(level, ec);
    if (fs::is_symlink(st))
      return Status::Input(PathToUtf8(level) + ": is a link; output folders are never links");
    if (fs::exists(st)) {
      if (!fs::is_directory(st)) return Status::Input(PathToUtf8(level) + ": is not a folder");
      continue;
    }
    if (!fs::create_directory(level, ec) || ec)
      return Status::Input(PathToUtf8(level) + ": cannot create: " + ec.message());
  }
  *dir = p;
  return Status::Ok();
}

// Writes bytes as dir/name through a part file renamed into place; an
// existing name must be a regular file (never a link).
Status WriteOutput(const fs::path& dir, const std::string& name,
                   const std::vector<unsigned char>& bytes) {
  std::error_code ec;
  const fs::path target = dir / PathFromUtf8(name);
  const fs::path part = dir / PathFromUtf8(name + ".klpack-part");
  for (const fs::path& p : {target, part}) {
    const fs::file_status st = fs::symlink_status(p, ec);
    if (fs::exists(st) && !fs::is_regular_file(st))
      return Status::Input(PathToUtf8(p) + ": exists and is not a regular file");
  }
  {
    File f;
    if (!f.Open(part, "wb")) return Status::Input(PathToUtf8(part) + ": cannot create: " + LastError());
    if ((!bytes.empty() && !f.Write(bytes.data(), bytes.size())) || !f.Close()) {
      fs::remove(part, ec);
      return Status::Input(PathToUtf8(part) + ": cannot write: " + LastError());
    }
  }
  fs::rename(part, target, ec);
  if (ec) {
    fs::remove(part, ec);
    return Status::Input(PathToUtf8(target) + ": cannot write: " + ec.message());
  }
  return Status::Ok();
}

}  // namespace

Status ReadPeFileVersion(const std::vector<unsigned char>& pe, const std::string& name,
                         std::string* version) {
  PeResources res;
  const unsigned char* data = nullptr;
  size_t dataSize = 0;
  if (!OpenPeResources(pe.data(), pe.size(), &res) ||
      !FindPeResource(res, kResVersion, -1, &data, &dataSize))
    return Status::Input(name + ": not a PE file with a version resource");
  const kl::string16 text = klupdate::FindVersionString(data, dataSize, KL_T("FileVersion"));
  if (text.empty()) return Status::Input(name + ": its version resource has no FileVersion");
  *version = kl::ToUtf8(text);
  return Status::Ok();
}

namespace {

constexpr size_t kMaxSkinBytes = 64u << 20;
constexpr const char kSkinListRelative[] = "_supports/klskin_prismic/updatelist.txt";

bool StartsWith(const std::vector<unsigned char>& b, const char* sig, size_t n) {
  if (b.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (b[i] != static_cast<unsigned char>(sig[i])) return false;
  return true;
}

// "<KEY=sha-256 hex>" of a published file.
std::string DigestItem(const char* item, const std::vector<unsigned char>& bytes) {
  uint8_t d[32];
  if (!Sha256Of(bytes, d)) return std::string("<") + item + "=unavailable>";  // never matches
  return std::string("<") + item + "=" + klupdate::HexText(d, sizeof d) + ">";
}

// Writes a list and, with a key, its signature NAME.sig beside it; an
// unsigned list takes away the signature of an earlier signed run, which
// would no longer match.
Status WriteList(const fs::path& dir, const std::string& name, const std::string& list,
                 const PublisherKey* key, std::string* report) {
  const std::vector<unsigned char> bytes(list.begin(), list.end());
  std::vector<unsigned char> signature;
  Status s;
  if (key && !(s = SignWithPublisherKey(*key, bytes, &signature)).ok()) return s;
  if (!(s = WriteOutput(dir, name, bytes)).ok()) return s;
  if (key) {
    s = WriteOutput(dir, name + ".sig", signature);
    if (s.ok() && report) *report += name + ".sig: signed with the publisher key\n";
    return s;
  }
  std::error_code ec;
  const fs::path stale = dir / PathFromUtf8(name + ".sig");
  if (fs::is_regular_file(fs::symlink_status(stale, ec)) && fs::remove(stale, ec) && report)
    *report += name + ".sig: removed (the list is not signed)\n";
  return Status::Ok();
}

Status PublishSkins(const fs::path& skins, const std::string& base, const fs::path& out,
                    const PublisherKey* key, std::string* report) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(skins, ec)))
    return Status::Input(PathToUtf8(skins) + ": is not a folder (links are not followed)");
  struct Skin {
    std::string name;
    fs::path zip, png;
    std::string version = "1.0.0.0";
  };
  std::vector<Skin> found;
  std::vector<std::string> unpaired;
  for (const auto& f : fs::directory_iterator(skins, ec)) {
    const std::string file = PathToUtf8(f.path().filename());
    if (file.size() <= 4 || Lower(file.substr(file.size() - 4)) != ".zip") continue;
    const std::string stem = file.substr(0, file.size() - 4);
    const kl::string16 wide = kl::FromUtf8(stem);
    if (!IsPlainName(stem) || kl::CheckFileName(wide) != kl::NameProblem::None)
      return Status::Input(PathToUtf8(f.path()) +
                           ": a skin package is named NAME.zip (NAME: at most 39 letters, digits, "
                           "'_', '-', '.'; no device name, no trailing dot)");
    if (!fs::is_regular_file(f.symlink_status()))
      return Status::Input(PathToUtf8(f.path()) + ": is not a regular file (links are not followed)");
    const fs::path png = skins / PathFromUtf8(stem + ".png");
    const fs::file_status ps = fs::symlink_status(png, ec);
    if (!fs::exists(ps)) {
      unpaired.push_back(file);
      continue;
    }
    if (!fs::is_regular_file(ps))
      return Status::Input(PathToUtf8(png) + ": is not a regular file (links are not followed)");
    found.push_back({stem, f.path(), png});
    // NAME.version beside it: one line, four numbers.
    const fs::path versionFile = skins / PathFromUtf8(stem + ".version");
    std::error_code vec;
    if (fs::exists(fs::symlink_status(versionFile, vec))) {
      std::vector<unsigned char> bytes;
      Status s = ReadWholeFile(versionFile, &bytes, 256);
      if (!s.ok()) return s;
      std::string text(bytes.begin(), bytes.end());
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
      if (!IsFourNumbers(text))
        return Status::Input(PathToUtf8(versionFile) +
                             ": must hold one line of four numbers from 0 to 65535 (e.g. 1.2.0.0)");
      found.back().version = text;
    }
  }
  if (ec) return Status::Input(PathToUtf8(skins) + ": cannot list: " + ec.message());
  if (found.empty()) return Status::Input(PathToUtf8(skins) + ": holds no NAME.zip with a NAME.png");
  std::sort(found.begin(), found.end(),
            [](const Skin& a, const Skin& b) { return Lower(a.name) < Lower(b.name); });
  for (size_t i = 1; i < found.size(); ++i)
    if (Lower(found[i].name) == Lower(found[i - 1].name))
      return Status::Input("two skin packages named " + Shown(found[i].name) +
                           " (names differ only in letter case)");
  fs::path dir;
  Status s = MakeFolders(out, {"skins"}, &dir);
  if (!s.ok()) return s;
  std::string list = "\xEF\xBB\xBF";
  for (const Skin& k : found) {
    const std::string url = base + "/skins/" + k.name + ".zip";
    if (url.size() > 127)
      return Status::Input(Shown(url) + ": longer than the 127 characters a client keeps of CABURL");
    std::vector<unsigned char> zip, png;
    if (!(s = ReadWholeFile(k.zip, &zip)).ok() || !(s = ReadWholeFile(k.png, &png)).ok()) return s;
    if (zip.size() > kMaxSkinBytes || png.size() > kMaxSkinBytes)
      return Status::Input(PathToUtf8(k.zip) + ": it or its picture is larger than 64 MB");
    if (!StartsWith(zip, "PK\x03\x04", 4) && !StartsWith(zip, "PK\x05\x06", 4))
      return Status::Input(PathToUtf8(k.zip) + ": is not a zip file");
    if (!StartsWith(png, "\x89PNG\r\n\x1A\n", 8))
      return Status::Input(PathToUtf8(k.png) + ": is not a PNG picture");
    if (!(s = WriteOutput(dir, k.name + ".zip", zip)).ok()) return s;
    if (!(s = WriteOutput(dir, k.name + ".zip.png", png)).ok()) return s;
    list += "<TYPE=SKINZIP><NAME=" + k.name + "><VERSION=" + k.version + "><CABURL=" + url + ">";
    if (key) list += DigestItem("SHA256", zip) + DigestItem("PNGSHA256", png);
    list += "\r\n";
    if (report) *report += "SKINZIP " + k.name + " " + k.version + " -> skins/" + k.name + ".zip (+ .png)\n";
  }
  for (const std::string& u : unpaired)
    if (report) *report += "skipped " + Shown(u) + ": no picture beside it\n";
  fs::path listDir;
  s = MakeFolders(out, {"_supports", "klskin_prismic"}, &listDir);
  if (!s.ok()) return s;
  s = WriteList(listDir, "updatelist.txt", list, key, report);
  if (s.ok() && report)
    *report += std::string(kSkinListRelative) + ": " + std::to_string(found.size()) + " lines\n";
  return s;
}

// The base URL as lists carry it (no trailing slash), checked.
Status CheckBaseUrl(const std::string& baseUrl, std::string* base) {
  *base = baseUrl;
  while (!base->empty() && base->back() == '/') base->pop_back();
  if (base->rfind("http://", 0) != 0 && base->rfind("https://", 0) != 0)
    return Status::Usage("update-tree: --base-url must start with http:// or https://");
  for (unsigned char c : *base)
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>' || c == '"')
      return Status::Usage("update-tree: --base-url holds a character a list line cannot carry "
                           "(space, control, '<', '>', '\"' or non-ASCII)");
  return Status::Ok();
}

}  // namespace

Status UpdateTree(const fs::path& drivers, const fs::path& skins, const std::string& baseUrl,
                  const fs::path& out, std::string* report, const fs::path& keyFile) {
  if (drivers.empty() && skins.empty())
    return Status::Usage("update-tree: give --drivers DIR, --skins DIR or both");
  std::string base;
  Status s = CheckBaseUrl(baseUrl, &base);
  if (!s.ok()) return s;
  PublisherKey key;
  if (!keyFile.empty() && !(s = LoadPublisherKey(keyFile, &key)).ok()) return s;
  const PublisherKey* signer = keyFile.empty() ? nullptr : &key;
  if (!drivers.empty() && !(s = UpdateTree(drivers, baseUrl, out, report, signer)).ok()) return s;
  if (!skins.empty()) return PublishSkins(skins, base, out, signer, report);
  return Status::Ok();
}

Status UpdateTree(const fs::path& drivers, const std::string& baseUrl, const fs::path& out,
                  std::string* report, const PublisherKey* key) {
  std::string base = baseUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0)
    return Status::Usage("update-tree: --base-url must start with http:// or https://");
  for (unsigned char c : base)
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>' || c == '"')
      return Status::Usage("update-tree: --base-url holds a character a list line cannot carry "
                           "(space, control, '<', '>', '\"' or non-ASCII)");

  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(drivers, ec)))
    return Status::Input(PathToUtf8(drivers) + ": is not a folder (links are not followed)");
  std::vector<Published> items;
  for (const auto& typeDir : fs::directory_iterator(drivers, ec)) {
    const std::string typeId = PathToUtf8(typeDir.path().filename());
    const int32_t type = klupdate::TypeFromIdentifier(kl::FromUtf8(typeId).c_str());
    const char* ext = ExtensionFor(type);
    if (!*ext)
      return Status::Input(PathToUtf8(typeDir.path()) +
                           ": not a driver type folder (KME_DRIVE, SKIN_DRIVE, IME_MAIN, "
                           "CONFIG_DRIVE or INSTALLBASE_DRIVE)");
    if (!fs::is_directory(typeDir.symlink_status()))
      return Status::Input(PathToUtf8(typeDir.path()) + ": is not a folder (links are not followed)");
    for (const auto& f : fs::directory_iterator(typeDir.path(), ec)) {
      const std::string file = PathToUtf8(f.path().filename());
      const std::string stem = file.size() > 4 ? file.substr(0, file.size() - 4) : "";
      if (Lower(file.substr(stem.size())) != ext || !IsPlainName(stem))
        return Status::Input(PathToUtf8(f.path()) + ": a " + typeId + " driver is named NAME" +
                             ext + " (NAME: at most 39 letters, digits, '_', '-', '.')");
      if (!fs::is_regular_file(f.symlink_status()))
        return Status::Input(PathToUtf8(f.path()) + ": is not a regular file (links are not followed)");
      items.push_back({type, klupdate::TypeIdentifier(type) ? U8(klupdate::TypeIdentifier(type)) : typeId,
                       stem, stem + ext, f.path()});
    }
    if (ec) return Status::Input(PathToUtf8(typeDir.path()) + ": cannot list: " + ec.message());
  }
  if (ec) return Status::Input(PathToUtf8(drivers) + ": cannot list: " + ec.message());
  if (items.empty()) return Status::Input(PathToUtf8(drivers) + ": holds no drivers");
  std::sort(items.begin(), items.end(), [](const Published& a, const Published& b) {
    return a.type != b.type ? a.type < b.type : Lower(a.name) < Lower(b.name);
  });
  for (size_t i = 1; i < items.size(); ++i)
    if (items[i].type == items[i - 1].type && Lower(items[i].name) == Lower(items[i - 1].name))
      return Status::Input(items[i].typeId + ": two drivers named " + Shown(items[i].name) +
                           " (names differ only in letter case)");

  // The client's rules for each driver, all checked before anything is
  // written: a driver it would refuse to install is never published.
  for (const Published& p : items) {
    std::vector<unsigned char> bytes;
    Status s = ReadWholeFile(p.source, &bytes, kMaxDriverBytes);
    if (!s.ok()) return s;
    const std::string problem = PublishedDriverProblem(p.type, bytes, PathToUtf8(p.source));
    if (!problem.empty()) return Status::Input(problem);
  }

  std::string list = "\xEF\xBB\xBF";
  for (const Published& p : items) {
    std::vector<unsigned char> bytes;
    Status s = ReadWholeFile(p.source, &bytes);
    if (!s.ok()) return s;
    if (bytes.size() > kMaxDriverBytes)
      return Status::Input(PathToUtf8(p.source) + ": larger than 64 MB");
    std::string versionText;
    s = ReadPeFileVersion(bytes, PathToUtf8(p.source), &versionText);
    if (!s.ok()) return s;
    kl::wchar16 normal[40];
    klupdate::VersionToText(klupdate::VersionFromText(kl::FromUtf8(versionText).c_str()), normal);

    const std::string folder = Lower(p.typeId);
    const std::string url = base + "/drivers/" + folder + "/" + p.name + ".cab";
    if (url.size() > 127)
      return Status::Input(Shown(url) + ": longer than the 127 characters a client keeps of CABURL");

    cab::Entry e;
    e.name = p.file;
    e.data = std::move(bytes);
    const std::vector<unsigned char> cabinet = cab::BuildCabinet({e});
    if (cabinet.empty()) return Status::Input(PathToUtf8(p.source) + ": cannot be put in a cabinet");
    fs::path dir;
    s = MakeFolders(out, {"drivers", folder}, &dir);
    if (!s.ok()) return s;
    s = WriteOutput(dir, p.name + ".cab", cabinet);
    if (!s.ok()) return s;

    list += "<TYPE=" + p.typeId + "><NAME=" + p.name + "><VERSION=" + U8(normal) +
            "><CABURL=" + url + ">" + (key ? DigestItem("SHA256", cabinet) : std::string()) + "\r\n";
    if (report)
      *report += p.typeId + " " + p.name + " " + U8(normal) + " -> drivers/" + folder + "/" +
                 p.name + ".cab\n";
  }
  fs::path listDir;
  Status s = MakeFolders(out, {"_supports", "klime_drives"}, &listDir);
  if (!s.ok()) return s;
  s = WriteList(listDir, "UpdateList.txt", list, key, report);
  if (s.ok() && report) *report += std::string(kListRelative) + ": " + std::to_string(items.size()) + " lines\n";
  return s;
}

bool LooksLikeUpdateList(const fs::path& file) {
  File f;
  if (!f.Open(file, "rb")) return false;
  unsigned char head[4] = {};
  const size_t n = f.ReadSome(head, sizeof head);
  if (n >= 2 && head[0] == 'M' && head[1] == 'Z') return false;
  if (n >= 4 && (std::equal(head, head + 4, "MSCF") || std::equal(head, head + 4, "CRYP")))
    return false;
  return true;
}

Status InspectUpdateList(const fs::path& file, std::string* report) {
  std::vector<unsigned char> bytes;
  Status s = ReadWholeFile(file, &bytes);
  if (!s.ok()) return s;
  klupdate::DecodedText text = klupdate::DecodeText(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  static const char* const kEncodings[] = {"UTF-8 with signature", "UTF-16 little-endian",
                                           "UTF-16 big-endian", "UTF-8 without signature",
                                           "ANSI (shown as code page 1252)"};
  klupdate::UpdateEntryList list;
  size_t unknown = 0;
  klupdate::ParseUpdateList(text, &list, [](void* u) { ++*static_cast<size_t*>(u); }, &unknown);
  std::string r = "update list: " + PathToUtf8(file) + "\n";
  r += std::string("encoding: ") + kEncodings[static_cast<int>(text.encoding)] + ", " +
       std::to_string(text.length) + " characters\n";
  r += "records: " + std::to_string(list.Count()) + ", unknown keys: " + std::to_string(unknown) +
       "\n";
  for (size_t i = 0; i < list.Count(); ++i) {
    const klupdate::UpdateEntry* e = list.At(i);
    kl::wchar16 v[40];
    klupdate::VersionToText(e->serverVersion, v);
    const kl::wchar16* id = klupdate::TypeIdentifier(e->type);
    r += "  " + std::to_string(i) + ": type " + std::to_string(e->type) + " (" +
         (id ? U8(id) : std::string("unknown")) + ", " + U8(klupdate::TypeDisplayName(e->type)) +
         ") name " + Shown(U8(e->name)) + " version " + U8(v) + " caburl " + Shown(U8(e->cabUrl));
    if (e->path[0]) r += " savepath " + Shown(U8(e->path));
    r += "\n";
  }
  *report += r;
  return Status::Ok();
}

}  // namespace klpack
