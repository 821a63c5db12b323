// klpack's command line.
#include "check.h"
#include "key_slot.h"
#include "klpack.h"
#include "publisher_key.h"
#include "sign.h"
#include "update_tree.h"

namespace klpack {
namespace {

const char kHelp[] =
    "usage:\n"
    "  klpack init DIR --key NAME --name DISPLAY\n"
    "  klpack check FOLDER --manifest M.txt [--strict]\n"
    "  klpack build --manifest M.txt --folder DIR --stub setup.exe -o OUT.exe [--strict]\n"
    "               [--update-key update-key.pub]\n"
    "               [--sign-cert CERT.pem --sign-key KEY.pem [--timestamp-url URL]]\n"
    "  klpack cab --folder DIR -o OUT.cab\n"
    "  klpack ksc -o config.ksc --record NAME [--code-table NAME] [--main NAME] [--skin NAME]"
    " [--record NAME2 ...]\n"
    "  klpack inspect FILE\n"
    "  klpack extract FILE -o DIR\n"
    "  klpack update-tree [--drivers DIR] [--skins DIR] --base-url URL -o OUT [--key KEY.pem]\n"
    "  klpack keygen -o DIR\n"
    "  klpack help [COMMAND]        (or: klpack COMMAND --help)\n"
    "Folders are packed with every file in them; links to files are read through,\n"
    "links to folders are not followed (they stop the build, as do devices, FIFOs\n"
    "and names the setup cannot extract on Windows).\n";

// What the product folder holds, what check looks at (shared by the
// help of init, check and build).
const char kLayoutHelp[] =
    "The product folder (packed whole; its top level becomes the install folder):\n"
    "  <imeName>.ime     the IME module: required (install step 2 copies it to the\n"
    "                    system folder as <imeName>.kelo.ime and registers it); for\n"
    "                    updates it needs a version resource and icon 1\n"
    "  License.html      the licence page of the wizard (else main.chm's License.html;\n"
    "                    without either the page is blank)\n"
    "  config.exe        started by the settings, code-table, key and user-word shortcuts\n"
    "  main.chm          opened by the help shortcut (and the uninstall record's help\n"
    "                    link when helpLink is empty)\n"
    "  mb.dll            the code-table driver, skin.dll the skin driver (bitmaps 103\n"
    "                    and 104), when config.ksc names them\n"
    "  $system32$\\       files for the system folder\n"
    "  $windows$\\        files for the Windows folder\n"
    "  $fonts$\\          fonts, installed and registered\n"
    "  $dataFiles$\\      the product's data folder (%ProgramData%\\KeloIMEs\\<imeName>);\n"
    "                    config.ksc there (klpack ksc; record kl_ime_config_data_default)\n"
    "                    names the drivers the update (-g) looks for; danzi.kmi there\n"
    "                    adds the user-word shortcut\n"
    "The setup writes Unstall.exe itself (the shortcuts of update, repair and\n"
    "uninstall start it); InstallInfo.kif is written by klpack from the manifest.\n";

const char kCheckHelp[] =
    "klpack check FOLDER --manifest M.txt [--strict]\n"
    "Checks a product folder and its manifest before packing (build and update-tree\n"
    "run the same rules).\n"
    "Errors (the install would fail; exit 2, build writes nothing):\n"
    "  the module <imeName>.ime is missing (a near miss such as <imeName>.kelo.ime is named),\n"
    "  a manifest value the setup would cut or refuse, a displayVersion that is not four\n"
    "  numbers, a launchAfterInstall that is not in the package.\n"
    "Warnings (a later feature breaks; exit 0, --strict makes them errors):\n"
    "  no License.html, no $dataFiles$\\config.ksc or one naming drivers the package lacks,\n"
    "  a module without a version resource or icon 1, a skin.dll without bitmaps 103 and\n"
    "  104, a missing shortcut target (config.exe, main.chm).\n";

const char kInitHelp[] =
    "klpack init DIR --key NAME --name DISPLAY\n"
    "Writes a starting product into DIR (made; an existing DIR must be empty):\n"
    "  DIR/product.manifest             the manifest, every key commented\n"
    "  DIR/README.txt                   what to put where\n"
    "  DIR/product/License.html         the licence page to edit\n"
    "  DIR/product/$dataFiles$/config.ksc  names the module NAME as the main driver\n"
    "  DIR/product/$system32$/, $windows$/, $fonts$/  (empty)\n"
    "NAME is the key name (a plain file name without ']', at most 30 characters),\n"
    "DISPLAY the product's display name. \"klpack check\" then names what is still\n"
    "missing.\n";

std::string BuildHelp() {
  std::string h =
      "klpack build --manifest M.txt --folder DIR --stub setup.exe -o OUT.exe [--strict]\n"
      "             [--update-key update-key.pub]\n"
      "             [--sign-cert CERT.pem --sign-key KEY.pem [--timestamp-url URL]]\n"
      "Packs DIR behind a copy of the setup program (the stub) into OUT.exe. The\n"
      "folder is checked first (see \"klpack check --help\"): errors stop the build,\n"
      "warnings are printed (--strict: they stop it too).\n"
      "  --update-key F   the publisher key of signed update lists (update-key.pub or\n"
      "                   update-key.pub.pem of \"klpack keygen\"), written into the\n"
      "                   stub copy's key slot: the setup and its Unstall.exe then take\n"
      "                   only update lists signed with it (klpack update-tree --key)\n"
      "  --sign-cert/--sign-key  Authenticode-sign OUT.exe (after the key is written)\n"
      "\n"
      "The manifest: UTF-8, one \"key = value\" per line, '#' or ';' start a comment.\n"
      "Limits are UTF-16 units (a Chinese character is one).\n";
  struct Doc {
    const char* key;
    const char* meaning;
    const char* example;
  };
  const Doc docs[] = {
      {"imeName", "required. The key name: the module <imeName>.ime, registry keys,\n"
                  "      \"name=[...]\" switches; a plain file name without ']'", "KeloPinyin"},
      {"layoutText", "the keyboard layout's text in the language list", "中文 (简体) - 可乐拼音"},
      {"displayName", "required. Start-menu folder and installed-programs name (a plain\n"
                      "      file name)", "可乐拼音输入法"},
      {"comments", "installed-programs comment (default empty)", "拼音输入法"},
      {"publisher", "installed-programs publisher (default empty)", "Example Ltd"},
      {"displayVersion", "four numbers 0..65535 (default empty)", "1.2.0.7"},
      {"contact", "installed-programs contact (default empty)", "support@example.com"},
      {"urlInfoAbout", "installed-programs web page (default empty)", "https://example.com/ime/"},
      {"helpLink", "help link (default: the installed main.chm)", "https://example.com/help"},
      {"urlUpdateInfo", "a second update list read after the server's (default none)",
       "https://example.com/ime/list.txt"},
      {"helpTelephone", "installed-programs telephone (default empty)", "010-0000-0000"},
      {"launchAfterInstall", "a file of the package (relative path) started after an\n"
                             "      interactive install (default none)", "config.exe"},
  };
  for (const Doc& d : docs) {
    size_t units = 0;
    for (const FieldInfo& f : HeaderFields())
      if (std::string(f.name) == d.key) units = f.units - 1;
    if (std::string(d.key) == "imeName") units = 30;  // a key name
    h += std::string("  ") + d.key + " (at most " + std::to_string(units) + "): " + d.meaning +
         "\n      e.g. " + d.key + " = " + d.example + "\n";
  }
  h += "  fileTime: date of every installed file, UTC \"YYYY-MM-DD HH:MM:SS\" (1980..2107;\n"
       "      default 2012-07-06 00:00:00)\n      e.g. fileTime = 2026-03-01 09:00:00\n"
       "  setId: the cabinet's set number 0..65535 (default: derived from the content)\n"
       "\n";
  return h + kLayoutHelp;
}

// The help of one command; "" for an unknown one.
std::string CommandHelp(const std::string& cmd) {
  if (cmd == "build") return BuildHelp();
  if (cmd == "check") return std::string(kCheckHelp) + "\n" + kLayoutHelp;
  if (cmd == "init") return std::string(kInitHelp) + "\n" + kLayoutHelp;
  if (cmd == "cab")
    return "klpack cab --folder DIR -o OUT.cab\nA plain MSZIP cabinet of every file under DIR.\n";
  if (cmd == "ksc")
    return "klpack ksc -o config.ksc --record NAME [--code-table NAME] [--main NAME] [--skin NAME]"
           " [--record NAME2 ...]\n"
           "Writes config.ksc (put it in $dataFiles$). The update reads the record\n"
           "\"kl_ime_config_data_default\": --main names the module (the imeName),\n"
           "--code-table the driver installed as mb.dll, --skin the one installed as\n"
           "skin.dll; each is the NAME the update list gives that driver.\n";
  if (cmd == "inspect")
    return "klpack inspect FILE\nDescribes a setup (its package, signature and update key\n"
           "\"update key: 04...\" or \"update key: none\"), a package or an update list.\n";
  if (cmd == "extract")
    return "klpack extract FILE -o DIR\nUnpacks a setup's package (or a cabinet) into DIR.\n";
  if (cmd == "update-tree")
    return "klpack update-tree [--drivers DIR] [--skins DIR] --base-url URL -o OUT [--key KEY.pem]\n"
           "Writes what a web server publishes for the update (-g):\n"
           "  DIR/<TYPE>/<NAME>.<ext>: TYPE one of IME_MAIN (.ime), KME_DRIVE (.dll),\n"
           "  SKIN_DRIVE (.dll), CONFIG_DRIVE (.exe), INSTALLBASE_DRIVE (.exe); NAME as in\n"
           "  config.ksc. Each needs a version resource with FileVersion, and FileDescription\n"
           "  and CompanyName in a string table its Translation lists (the client rewrites\n"
           "  both; for IME_MAIN, SKIN_DRIVE and INSTALLBASE_DRIVE the first Translation\n"
           "  must name a language). Icon 1 and bitmaps 103 and 104 come from the installed\n"
           "  file (klpack check looks for them in the product).\n"
           "  SKINS/<name>.zip with <name>.png beside it; <name>.version (one line, four\n"
           "  numbers) gives its version, else 1.0.0.0.\n"
           "--key signs the lists with the private key of \"klpack keygen\".\n";
  if (cmd == "keygen")
    return "klpack keygen -o DIR\nMakes the publisher key of signed update lists:\n"
           "  DIR/update-key.pem      private (update-tree --key); keep it secret\n"
           "  DIR/update-key.pub      public (build --update-key)\n"
           "  DIR/update-key.pub.pem  public, SubjectPublicKeyInfo, for\n"
           "                          openssl dgst -sha256 -verify update-key.pub.pem -signature LIST.sig LIST\n"
           "Existing key files are never replaced.\n";
  return "";
}

bool AsksForHelp(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i)
    if (args[i] == "--help" || args[i] == "-h") return true;
  return false;
}

// Takes a flag (an option without a value) out of args.
bool TakeFlag(std::vector<std::string>* args, const char* flag) {
  for (size_t i = 1; i < args->size(); ++i)
    if ((*args)[i] == flag) {
      args->erase(args->begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  return false;
}

// Runs the check; its lines go to out. An error status when the product has
// errors (or warnings with strict).
Status RunCheck(const std::string& cmd, const fs::path& manifest, const fs::path& folder,
                bool strict, std::string* out) {
  CheckReport report;
  Status s = CheckProduct(manifest, folder, &report);
  if (!s.ok()) return s;
  const bool quietClean = cmd == "build" && report.errors.empty() && report.warnings.empty();
  if (!quietClean) *out += report.Text();
  const size_t stopping = report.errors.size() + (strict ? report.warnings.size() : 0);
  if (stopping)
    return Status::Input(cmd + ": the product has " + std::to_string(report.errors.size()) +
                         (report.errors.size() == 1 ? " error" : " errors") +
                         (strict ? " and " + std::to_string(report.warnings.size()) +
                                       (report.warnings.size() == 1 ? " warning" : " warnings") +
                                       " (--strict)"
                                 : std::string()) +
                         (cmd == "build" ? "; nothing was written" : ""));
  return Status::Ok();
}

// Options of the form "--name value"; every option must be known and given
// once; those from index `optionalFrom` on may be left out.
Status TakeOptions(const std::string& cmd, const std::vector<std::string>& args,
                   const std::vector<std::string>& known, std::vector<std::string>* values,
                   std::vector<std::string>* positional, size_t optionalFrom = SIZE_MAX) {
  values->assign(known.size(), std::string());
  std::vector<bool> given(known.size(), false);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 1 && a[0] == '-') {
      size_t k = 0;
      while (k < known.size() && known[k] != a) ++k;
      if (k == known.size()) return Status::Usage(cmd + ": unknown option \"" + a + "\"");
      if (given[k]) return Status::Usage(cmd + ": option \"" + a + "\" given twice");
      if (i + 1 >= args.size()) return Status::Usage(cmd + ": option \"" + a + "\" needs a value");
      given[k] = true;
      (*values)[k] = args[++i];
    } else if (positional) {
      positional->push_back(a);
    } else {
      return Status::Usage(cmd + ": unexpected argument \"" + a + "\"");
    }
  }
  for (size_t k = 0; k < known.size() && k < optionalFrom; ++k)
    if (!given[k]) return Status::Usage(cmd + ": option \"" + known[k] + "\" is required");
  return Status::Ok();
}

}  // namespace

Status Run(const std::vector<std::string>& commandLine, std::string* out) {
  std::vector<std::string> args = commandLine;
  if (args.empty()) return Status::Usage("no command given (try \"klpack --help\")");
  const std::string cmd = args[0];
  std::vector<std::string> v;
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    if (args.size() > 2) return Status::Usage("help: give at most one COMMAND");
    if (args.size() == 2) {
      const std::string h = CommandHelp(args[1]);
      if (h.empty()) return Status::Usage("help: unknown command \"" + args[1] + "\"");
      *out += h;
      return Status::Ok();
    }
    *out += kHelp;
    return Status::Ok();
  }
  if (AsksForHelp(args) && !CommandHelp(cmd).empty()) {
    *out += CommandHelp(cmd);
    return Status::Ok();
  }
  if (cmd == "check") {
    const bool strict = TakeFlag(&args, "--strict");
    std::vector<std::string> pos;
    Status s = TakeOptions(cmd, args, {"--manifest"}, &v, &pos);
    if (!s.ok()) return s;
    if (pos.size() != 1) return Status::Usage("check: give exactly one FOLDER");
    return RunCheck(cmd, PathFromUtf8(v[0]), PathFromUtf8(pos[0]), strict, out);
  }
  if (cmd == "init") {
    std::vector<std::string> pos;
    Status s = TakeOptions(cmd, args, {"--key", "--name"}, &v, &pos);
    if (!s.ok()) return s;
    if (pos.size() != 1) return Status::Usage("init: give exactly one DIR");
    return InitProduct(PathFromUtf8(pos[0]), v[0], v[1], out);
  }
  if (cmd == "build") {
    const bool strict = TakeFlag(&args, "--strict");
    Status s = TakeOptions(cmd, args,
                           {"--manifest", "--folder", "--stub", "-o", "--sign-cert", "--sign-key",
                            "--timestamp-url", "--update-key"},
                           &v, nullptr, 4);
    if (!s.ok()) return s;
    const bool sign = !v[4].empty() || !v[5].empty();
    if (sign && (v[4].empty() || v[5].empty()))
      return Status::Usage("build: --sign-cert and --sign-key go together");
    if (!sign && !v[6].empty())
      return Status::Usage("build: --timestamp-url needs --sign-cert and --sign-key");
    const SignOptions signing{PathFromUtf8(v[4]), PathFromUtf8(v[5]), v[6]};
    if (sign) {
      s = CheckSignOptions(signing);
      if (!s.ok()) return s;
    }
    uint8_t point[64];
    BuildOptions options;
    if (!v[7].empty()) {
      if (!(s = LoadPublicKeyFile(PathFromUtf8(v[7]), point)).ok()) return s;
      options.updateKey = point;
    }
    s = RunCheck(cmd, PathFromUtf8(v[0]), PathFromUtf8(v[1]), strict, out);
    if (!s.ok()) return s;
    s = BuildSetup(PathFromUtf8(v[0]), PathFromUtf8(v[1]), PathFromUtf8(v[2]),
                   PathFromUtf8(v[3]), options);
    if (!s.ok() || !sign) return s;
    s = SignSetup(PathFromUtf8(v[3]), signing);
    if (!s.ok()) {  // asked for a signed setup: no unsigned one is left behind
      std::error_code ec;
      fs::remove(PathFromUtf8(v[3]), ec);
    }
    return s;
  }
  if (cmd == "cab") {
    Status s = TakeOptions(cmd, args, {"--folder", "-o"}, &v, nullptr);
    if (!s.ok()) return s;
    return BuildPlainCab(PathFromUtf8(v[0]), PathFromUtf8(v[1]));
  }
  if (cmd == "inspect") {
    std::vector<std::string> pos;
    Status s = TakeOptions(cmd, args, {}, &v, &pos);
    if (!s.ok()) return s;
    if (pos.size() != 1) return Status::Usage("inspect: give exactly one FILE");
    if (LooksLikeUpdateList(PathFromUtf8(pos[0])))  // neither PE nor cabinet: an update list
      return InspectUpdateList(PathFromUtf8(pos[0]), out);
    std::string report;
    s = Inspect(PathFromUtf8(pos[0]), &report);
    *out += report;  // also for a package the setup would refuse
    return s;
  }
  if (cmd == "extract") {
    std::vector<std::string> pos;
    Status s = TakeOptions(cmd, args, {"-o"}, &v, &pos);
    if (!s.ok()) return s;
    if (pos.size() != 1) return Status::Usage("extract: give exactly one FILE");
    return Extract(PathFromUtf8(pos[0]), PathFromUtf8(v[0]), out);
  }
  if (cmd == "update-tree") {
    Status s = TakeOptions(cmd, args, {"--base-url", "-o", "--drivers", "--skins", "--key"}, &v,
                           nullptr, 2);
    if (!s.ok()) return s;
    return UpdateTree(PathFromUtf8(v[2]), PathFromUtf8(v[3]), v[0], PathFromUtf8(v[1]), out,
                      PathFromUtf8(v[4]));
  }
  if (cmd == "keygen") {
    Status s = TakeOptions(cmd, args, {"-o"}, &v, nullptr);
    if (!s.ok()) return s;
    return MakePublisherKey(PathFromUtf8(v[0]), out);
  }
  if (cmd == "ksc") {
    std::vector<KscRecord> records;
    std::string output;
    for (size_t i = 1; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (i + 1 >= args.size()) return Status::Usage("ksc: option \"" + a + "\" needs a value");
      const std::string& val = args[++i];
      if (a == "-o") {
        if (!output.empty()) return Status::Usage("ksc: option \"-o\" given twice");
        output = val;
      } else if (a == "--record") {
        records.push_back(KscRecord{val, "", "", ""});
      } else if (a == "--code-table" || a == "--main" || a == "--skin") {
        if (records.empty()) return Status::Usage("ksc: \"" + a + "\" before any --record");
        KscRecord& r = records.back();
        std::string& dst = a == "--code-table" ? r.codeTable : a == "--main" ? r.mainDriver : r.skin;
        if (!dst.empty()) return Status::Usage("ksc: option \"" + a + "\" given twice for one record");
        if (val.empty()) return Status::Usage("ksc: option \"" + a + "\" needs a value");
        dst = val;
      } else {
        return Status::Usage("ksc: unknown option \"" + a + "\"");
      }
    }
    if (output.empty()) return Status::Usage("ksc: option \"-o\" is required");
    return WriteKsc(records, PathFromUtf8(output));
  }
  return Status::Usage("unknown command \"" + cmd + "\" (try \"klpack --help\")");
}

}  // namespace klpack
