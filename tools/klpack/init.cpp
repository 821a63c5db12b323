// klpack init: a starting product for a new input method.
#include <ctime>

#include "base/keyname.h"
#include "klpack.h"
#include "util.h"

namespace klpack {

namespace {

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// At most `units` UTF-16 units of s, never half a surrogate pair.
std::string CutUtf16(const std::string& s, size_t units) {
  kl::string16 w = kl::FromUtf8(s);
  if (w.size() <= units) return s;
  w.resize(units);
  if (!w.empty() && w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
  return kl::ToUtf8(w);
}

std::string ManifestText(const std::string& key, const std::string& name, const std::string& layout,
                         const std::string& fileTime) {
  return "# The product description of " + name + " (klpack packs it as InstallInfo.kif).\n"
         "# UTF-8, one \"key = value\" per line, \"#\" starts a comment. \"klpack build --help\"\n"
         "# lists every key with its limit; \"klpack check\" tells what is still missing.\n"
         "\n"
         "# The key name: the IME module is " + key + ".ime at the top of the product\n"
         "# folder (installed as " + key + ".kelo.ime); it also names the registry keys and\n"
         "# the \"name=[...]\" switches of the uninstall, repair and update. Never change\n"
         "# it once shipped.\n"
         "imeName = " + key + "\n"
         "# The keyboard layout's text in the language list (at most 39 characters).\n"
         "layoutText = " + layout + "\n"
         "# The Start-menu folder and the name in the list of installed programs.\n"
         "displayName = " + name + "\n"
         "# Four numbers: the version the list of installed programs shows.\n"
         "displayVersion = 1.0.0.0\n"
         "\n"
         "# Shown in the list of installed programs (all optional).\n"
         "publisher =\n"
         "comments =\n"
         "contact =\n"
         "helpTelephone =\n"
         "urlInfoAbout =\n"
         "# Empty: the help link is the installed main.chm.\n"
         "helpLink =\n"
         "# A second update list the update reads after the server's (optional).\n"
         "urlUpdateInfo =\n"
         "# A file of the package started after an interactive install, e.g. config.exe.\n"
         "launchAfterInstall =\n"
         "\n"
         "# The date every installed file gets (UTC, \"YYYY-MM-DD HH:MM:SS\").\n"
         "fileTime = " + fileTime + "\n";
}

const char kReadme[] =
    "What to put where (the product folder is packed whole):\n"
    "\n"
    "  product/KEY.ime             the IME module (required: the install fails without it);\n"
    "                              give it a version resource and icon 1 for updates\n"
    "  product/config.exe          the settings program the shortcuts start\n"
    "  product/main.chm            the help file of the help shortcut\n"
    "  product/License.html        the licence page of the wizard (edit it)\n"
    "  product/mb.dll, skin.dll    code-table and skin drivers, when config.ksc names them\n"
    "                              (a skin driver needs bitmaps 103 and 104)\n"
    "  product/...                 anything else: copied to the install folder as it is\n"
    "  product/$system32$/         files for the system folder\n"
    "  product/$windows$/          files for the Windows folder\n"
    "  product/$fonts$/            fonts, installed and registered\n"
    "  product/$dataFiles$/        the product's data folder; config.ksc (made by\n"
    "                              \"klpack ksc\") tells the update which drivers it has\n"
    "\n"
    "Then:\n"
    "  klpack check product --manifest product.manifest\n"
    "  klpack build --manifest product.manifest --folder product --stub setup.exe -o setup-KEY.exe\n"
    "               [--update-key keys/update-key.pub]\n";

}  // namespace

Status InitProduct(const fs::path& dir, const std::string& key, const std::string& name,
                   std::string* report) {
  const kl::string16 wideKey = kl::FromUtf8(key);
  if (!IsValidUtf8(key) || kl::CheckKeyName(wideKey) != kl::NameProblem::None)
    return Status::Usage("init: --key " + Quote(key) +
                         " is not a key name (a plain file name without ']' of at most 30 "
                         "characters)");
  if (!IsValidUtf8(name) || name.find_first_of("\r\n") != std::string::npos)
    return Status::Usage("init: --name must be one line of UTF-8 text");
  const std::string layout = CutUtf16(
      kl::FromUtf8("中文 (简体) - " + name).size() <= 39 ? "中文 (简体) - " + name : name, 39);
  const std::time_t now = std::time(nullptr);
  char stamp[32];
  std::tm t{};
#ifdef _WIN32
  if (const std::tm* g = std::gmtime(&now)) t = *g;  // one thread: the static result is safe
#else
  gmtime_r(&now, &t);
#endif
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &t);
  const std::string manifest = ManifestText(key, name, layout, stamp);
  Manifest parsed;
  Status s = ParseManifest(manifest, "--name/--key", &parsed);
  if (!s.ok()) return Status::Usage("init: " + s.message);
  std::vector<unsigned char> ksc;
  s = BuildKsc({KscRecord{"kl_ime_config_data_default", "", key, ""}}, &ksc);
  if (!s.ok()) return s;

  std::error_code ec;
  const std::string where = Quote(PathToUtf8(dir), 200);
  const fs::file_status st = fs::symlink_status(dir, ec);
  if (fs::exists(st)) {
    if (!fs::is_directory(st)) return Status::Input(where + ": exists and is not a folder");
    if (!fs::is_empty(dir, ec)) return Status::Input(where + ": not empty; init writes into a new folder");
  } else if (!fs::create_directories(dir, ec)) {
    return Status::Input(where + ": cannot create: " + ec.message());
  }
  const fs::path product = dir / "product";
  for (const char* sub : {"", "$system32$", "$windows$", "$fonts$", "$dataFiles$"}) {
    fs::create_directory(product / sub, ec);
    if (ec) return Status::Input(Quote(PathToUtf8(product / sub), 200) + ": cannot create: " + ec.message());
  }
  std::string readme = kReadme;
  for (size_t at; (at = readme.find("KEY")) != std::string::npos;) readme.replace(at, 3, key);
  const std::string licence =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(name) +
      "</title></head>\n<body>\n<h1>" + HtmlEscape(name) +
      "</h1>\n<p>Replace this text with the licence the user accepts before the install.</p>\n"
      "</body></html>\n";
  const std::pair<fs::path, std::string> outputs[] = {
      {dir / "product.manifest", manifest},
      {dir / "README.txt", readme},
      {product / "License.html", licence},
      {product / "$dataFiles$" / "config.ksc", std::string(ksc.begin(), ksc.end())},
  };
  for (const auto& o : outputs) {
    File f;
    if (!(s = CreateNewFile(o.first, &f)).ok()) return s;
    if (!f.Write(o.second.data(), o.second.size()) || !f.Close())
      return Status::Input(Quote(PathToUtf8(o.first), 200) + ": cannot write: " + LastError());
    if (report) *report += "wrote " + PathToUtf8(o.first) + "\n";
  }
  if (report)
    *report += "next: put " + key + ".ime and config.exe in " + PathToUtf8(product) +
               " (README.txt says what goes where), then run\n  klpack check " +
               PathToUtf8(product) + " --manifest " + PathToUtf8(dir / "product.manifest") + "\n";
  return Status::Ok();
}

}  // namespace klpack
