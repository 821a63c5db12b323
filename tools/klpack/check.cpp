#include "check.h"

#include <cstdio>
#include <map>

#include "base/keyname.h"
#include "pe_resources.h"
#include "update/config_ksc.h"
#include "update/update_list.h"
#include "update/version_block.h"
#include "util.h"

namespace klpack {

namespace {

// A module or driver is read whole; larger files are not plausible.
constexpr uint64_t kMaxCheckedBytes = 64u << 20;

kl::string16 Folded(const std::string& utf8) { return kl::FoldCase(kl::FromUtf8(utf8)); }

}  // namespace

bool IsFourNumbers(const std::string& v) {
  size_t parts = 0, digits = 0;
  unsigned long value = 0;
  for (size_t i = 0; i <= v.size(); ++i) {
    if (i == v.size() || v[i] == '.') {
      if (digits == 0 || value > 65535) return false;
      ++parts;
      digits = 0;
      value = 0;
    } else if (v[i] >= '0' && v[i] <= '9' && digits < 5) {
      value = value * 10 + static_cast<unsigned long>(v[i] - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4;
}

namespace {

std::string Field(const kl::wchar16* f) { return kl::ToUtf8(kl::string16_view(f, kl::StrLen(f))); }

}  // namespace

std::string CheckReport::Text() const {
  std::string t;
  for (const std::string& e : errors) t += "error: " + e + "\n";
  for (const std::string& w : warnings) t += "warning: " + w + "\n";
  t += std::to_string(errors.size()) + (errors.size() == 1 ? " error, " : " errors, ") +
       std::to_string(warnings.size()) + (warnings.size() == 1 ? " warning\n" : " warnings\n");
  return t;
}

std::string InstalledDriverProblem(int32_t type, const std::vector<unsigned char>& bytes,
                                   const std::string& name) {
  PeResources res;
  const bool pe = OpenPeResources(bytes.data(), bytes.size(), &res);
  if (type == klupdate::kTypeSkinDrive) {
    if (!pe || !HasPeResource(res, kResBitmap, 103) || !HasPeResource(res, kResBitmap, 104))
      return name + ": a skin driver without bitmaps 103 and 104 (an update of it copies both "
                    "from the installed skin.dll and fails without them)";
  } else if (type == klupdate::kTypeImeMain || type == klupdate::kTypeInstallBaseDrive) {
    if (!pe || !HasPeResource(res, kResIcon, 1))
      return name + ": no icon 1 (an update of it copies the installed file's icon 1 and "
                    "fails without it)";
  }
  return "";
}

std::string PublishedDriverProblem(int32_t type, const std::vector<unsigned char>& bytes,
                                   const std::string& name) {
  PeResources res;
  const unsigned char* block = nullptr;
  size_t size = 0;
  if (!OpenPeResources(bytes.data(), bytes.size(), &res) ||
      !FindPeResource(res, kResVersion, -1, &block, &size))
    return name + ": no version resource (the update compares and rewrites it)";
  const auto translations = klupdate::ListTranslations(block, size);
  const auto strings = klupdate::ListVersionStrings(block, size);
  for (const char* key : {"FileDescription", "CompanyName"}) {
    bool found = false;
    for (const auto& t : translations) {
      char table[9];
      std::snprintf(table, sizeof table, "%04x%04x", t.first, t.second);
      for (const auto& s : strings)
        found = found || (kl::FoldCase(s.table) == kl::FoldCase(kl::FromUtf8(table)) &&
                          s.key == kl::FromUtf8(key));
    }
    if (!found)
      return name + ": its version resource has no " + key +
             " in a string table its Translation lists (the update rewrites it and fails)";
  }
  if ((type == klupdate::kTypeSkinDrive || type == klupdate::kTypeImeMain ||
       type == klupdate::kTypeInstallBaseDrive) &&
      translations[0].first == 0)
    return name + ": its version resource's first Translation is language 0 (the update "
                  "copies resources into it under that language and fails)";
  return "";
}

Status CheckProduct(const fs::path& manifestPath, const fs::path& folder, CheckReport* report) {
  *report = CheckReport{};
  Manifest m;
  std::vector<SourceFile> files;
  Status s = LoadProduct(manifestPath, folder, &m, &files);
  if (!s.ok()) return s;
  std::map<kl::string16, const SourceFile*> byName;
  for (const SourceFile& f : files) byName[Folded(f.name)] = &f;
  auto find = [&](const std::string& name) -> const SourceFile* {
    auto it = byName.find(Folded(name));
    return it == byName.end() ? nullptr : it->second;
  };
  auto read = [&](const SourceFile* f, std::vector<unsigned char>* bytes) {
    return ReadWholeFile(f->path, bytes, kMaxCheckedBytes).ok();
  };
  std::vector<std::string>& errors = report->errors;
  std::vector<std::string>& warnings = report->warnings;
  const PackageHeader& h = m.header;
  const std::string key = Field(h.imeName);

  // The module: install step 2 copies "<imeName>.ime" from the install folder.
  const std::string module = key + ".ime";
  const SourceFile* moduleFile = find(module);
  if (!moduleFile) {
    std::string near;
    const kl::string16 k = Folded(key), ext = Folded(".ime"), sub = Folded("\\" + module);
    auto endsWith = [](const kl::string16& n, const kl::string16& tail) {
      return n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (const SourceFile& f : files) {
      const kl::string16 n = Folded(f.name);
      const bool atRoot = n.find(u'\\') == kl::string16::npos;
      if ((atRoot && (endsWith(n, ext) || n.compare(0, k.size(), k) == 0)) || endsWith(n, sub))
        near += (near.empty() ? "" : ", ") + Quote(f.name);
    }
    errors.push_back("the IME module " + Quote(module) +
                     " is missing from the folder's top level (install step 2 copies it to the "
                     "system folder; the name is imeName and \".ime\")" +
                     (near.empty() ? "" : "; found " + near + " instead: rename it to " + Quote(module)));
  }

  const std::string version = Field(h.displayVersion);
  if (!version.empty() && !IsFourNumbers(version))
    errors.push_back("displayVersion " + Quote(version) +
                     " is not four numbers from 0 to 65535 between dots (e.g. 1.0.0.1)");

  const std::string launch = Field(h.launchAfterInstall);
  if (!launch.empty() && !find(launch))
    errors.push_back("launchAfterInstall " + Quote(launch) +
                     " is not in the package (it names a file under the folder, e.g. config.exe)");

  // Warnings: what a later feature needs.
  if (!find("License.html"))
    warnings.push_back(find("main.chm")
                           ? "no License.html: the licence page shows main.chm's License.html, "
                             "blank when the help file has none"
                           : "no License.html: the licence page of the wizard stays blank");

  const SourceFile* ksc = find("$dataFiles$\\config.ksc");
  std::vector<unsigned char> kscBytes;
  klupdate::KscDrivers drivers;
  if (!ksc) {
    warnings.push_back("no $dataFiles$\\config.ksc: \"-g\" (the update) finds no drivers to "
                       "update (make one with \"klpack ksc\")");
  } else if (!read(ksc, &kscBytes) ||
             !klupdate::FindKscRecord(kscBytes.data(), kscBytes.size(),
                                      klupdate::kDefaultConfigRecord, &drivers)) {
    warnings.push_back("$dataFiles$\\config.ksc has no record \"kl_ime_config_data_default\": "
                       "the update finds no drivers to update");
  } else {
    auto u8 = [](const kl::wchar16* s) { return kl::ToUtf8(kl::string16_view(s, kl::StrLen(s))); };
    if (drivers.tableDriver[0] && !find("mb.dll"))
      warnings.push_back("config.ksc names the code-table driver " + Quote(u8(drivers.tableDriver)) +
                         " but the package has no mb.dll (its update fails)");
    if (drivers.skinDriver[0] && !find("skin.dll"))
      warnings.push_back("config.ksc names the skin driver " + Quote(u8(drivers.skinDriver)) +
                         " but the package has no skin.dll (its update fails)");
    if (drivers.mainDriver[0] && kl::FoldCase(drivers.mainDriver) != Folded(key))
      warnings.push_back("config.ksc names the main driver " + Quote(u8(drivers.mainDriver)) +
                         " but the package's module is " + Quote(module) +
                         " (updates of the module look for " + Quote(u8(drivers.mainDriver)) + ")");
  }

  std::vector<unsigned char> bytes;
  if (moduleFile && read(moduleFile, &bytes)) {
    PeResources res;
    const bool pe = OpenPeResources(bytes.data(), bytes.size(), &res);
    if (!pe || !HasPeResource(res, kResVersion, -1))
      warnings.push_back(Quote(moduleFile->name) +
                         " has no version resource: the update cannot compare or rewrite it");
    std::string problem = InstalledDriverProblem(klupdate::kTypeImeMain, bytes, Quote(moduleFile->name));
    if (!problem.empty()) warnings.push_back(problem);
  }
  if (const SourceFile* skin = find("skin.dll")) {
    if (read(skin, &bytes)) {
      std::string problem = InstalledDriverProblem(klupdate::kTypeSkinDrive, bytes, Quote(skin->name));
      if (!problem.empty()) warnings.push_back(problem);
    }
  }

  // The shortcuts: config.exe (settings and tools), main.chm (help); the
  // setup writes Unstall.exe itself.
  if (!find("config.exe"))
    warnings.push_back("no config.exe: the settings, code-table, key and user-word shortcuts "
                       "point at it");
  if (!find("main.chm"))
    warnings.push_back("no main.chm: the help shortcut (使用帮助) points at it");
  return Status::Ok();
}

}  // namespace klpack
