// klpack: packs the input method's files into a setup executable, makes plain
// cabinets and config.ksc files, and inspects or unpacks packages.
#include <cstdio>
#include <string>
#include <vector>

#include "klpack.h"

namespace {

int Main(const std::vector<std::string>& args) {
  std::string out;
  klpack::Status s = klpack::Run(args, &out);
  if (!out.empty()) std::fwrite(out.data(), 1, out.size(), stdout);
  if (!s.ok()) {
    std::fprintf(stderr, "klpack: %s\n", s.message.c_str());
    return s.code;
  }
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(kl::ToUtf8(kl::string16_view(argv[i])));
  return Main(args);
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return Main(args);
}
#endif
