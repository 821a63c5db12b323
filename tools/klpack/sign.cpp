#include "sign.h"

#include <system_error>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace klpack {

namespace {

Status NeedRegularFile(const fs::path& p, const char* what) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec))
    return Status::Input(std::string(what) + " \"" + PathToUtf8(p) + "\" is not a readable file");
  return Status::Ok();
}

}  // namespace

Status CheckSignOptions(const SignOptions& opt) {
  if (Status s = NeedRegularFile(opt.certificate, "certificate"); !s.ok()) return s;
  if (Status s = NeedRegularFile(opt.key, "key"); !s.ok()) return s;
  if (opt.timestampUrl.find_first_of(" \t\r\n") != std::string::npos ||
      (!opt.timestampUrl.empty() && opt.timestampUrl.rfind("http://", 0) != 0 &&
       opt.timestampUrl.rfind("https://", 0) != 0))
    return Status::Usage("--timestamp-url must be an http:// or https:// address");
#ifdef _WIN32
  return Status::Usage("signing runs osslsigncode, which only the host build of klpack can use");
#else
  return Status::Ok();
#endif
}

Status SignSetup(const fs::path& file, const SignOptions& opt) {
  if (Status s = CheckSignOptions(opt); !s.ok()) return s;
#ifdef _WIN32
  (void)file;
  return Status::Usage("signing runs osslsigncode, which only the host build of klpack can use");
#else
  const fs::path signedCopy = fs::path(file).concat(".signing-part");
  std::error_code ec;
  fs::remove(signedCopy, ec);
  std::vector<std::string> args = {"osslsigncode", "sign",
                                   "-certs", PathToUtf8(opt.certificate),
                                   "-key", PathToUtf8(opt.key)};
  if (!opt.timestampUrl.empty()) {
    args.push_back("-ts");
    args.push_back(opt.timestampUrl);
  }
  args.insert(args.end(), {"-in", PathToUtf8(file), "-out", PathToUtf8(signedCopy)});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // No shell: every argument reaches the signer as it is.
  pid_t pid = 0;
  if (posix_spawnp(&pid, "osslsigncode", nullptr, nullptr, argv.data(), environ) != 0)
    return Status::Input("cannot run osslsigncode (install the Debian package osslsigncode)");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fs::is_regular_file(signedCopy, ec)) {
    fs::remove(signedCopy, ec);
    return Status::Input("osslsigncode could not sign \"" + PathToUtf8(file) +
                         "\" (see its message above)");
  }
  fs::rename(signedCopy, file, ec);
  if (ec) {
    fs::remove(signedCopy, ec);
    return Status::Input("cannot replace \"" + PathToUtf8(file) + "\" by its signed copy");
  }
  return Status::Ok();
#endif
}

}  // namespace klpack
