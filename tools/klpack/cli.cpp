// klpack's command line.
#include "klpack.h"
#include "publisher_key.h"
#include "sign.h"
#include "update_tree.h"

namespace klpack {
namespace {

const char kHelp[] =
    "usage:\n"
    "  klpack build --manifest M.txt --folder DIR --stub setup.exe -o OUT.exe\n"
    "               [--sign-cert CERT.pem --sign-key KEY.pem [--timestamp-url URL]]\n"
    "  klpack cab --folder DIR -o OUT.cab\n"
    "  klpack ksc -o config.ksc --record NAME [--code-table FILE] [--main FILE] [--skin FILE]"
    " [--record NAME2 ...]\n"
    "  klpack inspect FILE\n"
    "  klpack extract FILE -o DIR\n"
    "  klpack update-tree [--drivers DIR] [--skins DIR] --base-url URL -o OUT [--key KEY.pem]\n"
    "  klpack keygen -o DIR\n"
    "  klpack --help\n"
    "Folders are packed with every file in them; links to files are read through,\n"
    "links to folders are not followed (they stop the build, as do devices, FIFOs\n"
    "and names the setup cannot extract on Windows).\n";

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

Status Run(const std::vector<std::string>& args, std::string* out) {
  if (args.empty()) return Status::Usage("no command given (try \"klpack --help\")");
  const std::string& cmd = args[0];
  std::vector<std::string> v;
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    *out += kHelp;
    return Status::Ok();
  }
  if (cmd == "build") {
    Status s = TakeOptions(cmd, args,
                           {"--manifest", "--folder", "--stub", "-o", "--sign-cert", "--sign-key",
                            "--timestamp-url"},
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
    s = BuildSetup(PathFromUtf8(v[0]), PathFromUtf8(v[1]), PathFromUtf8(v[2]),
                   PathFromUtf8(v[3]));
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
