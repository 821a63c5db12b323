#include "state/setup_log.h"

#include <cstdio>

#include "state/cmdline.h"

namespace setuplog {

std::string FormatLine(const Stamp& s, kl::string16_view text) {
  char head[40];
  std::snprintf(head, sizeof(head), "%04d-%02d-%02d %02d:%02d:%02d.%03d  ", s.year % 10000,
                s.month % 100, s.day % 100, s.hour % 100, s.minute % 100, s.second % 100,
                s.millisecond % 1000);
  kl::string16 clean(text);
  for (kl::wchar16& c : clean)
    if (c < 0x20 || c == 0x7F) c = u' ';
  std::string line(head);
  line += kl::ToUtf8(clean);
  line += "\r\n";
  return line;
}

bool StartsWithLogHeader(const unsigned char* data, size_t size) {
  static const char kPattern[] = "\xEF\xBB\xBF" "9999-99-99 99:99:99.999  ";
  static_assert(sizeof kPattern - 1 == kHeaderBytes, "the header's length");
  if (!data || size < kHeaderBytes) return false;
  for (size_t i = 0; i < kHeaderBytes; ++i) {
    const unsigned char want = static_cast<unsigned char>(kPattern[i]);
    if (want == '9' ? (data[i] < '0' || data[i] > '9') : data[i] != want) return false;
  }
  return true;
}

kl::string16 ExitLine(int exitCode) {
  const char* meaning = "failure";
  switch (exitCode) {
    case kExitSuccess: meaning = "success"; break;
    case kExitRestartNeeded: meaning = "success, restart needed"; break;
    case kExitNothingToDo: meaning = "nothing done"; break;
    case kExitFailure: meaning = "failure"; break;
    case kExitAnotherSetup: meaning = "another setup is running"; break;
    case kExitNewerInstalled: meaning = "a newer version is installed"; break;
    case kExitBadCommandLine: meaning = "invalid command line"; break;
    default: break;
  }
  char text[64];
  std::snprintf(text, sizeof(text), "exit code %d (%s)", exitCode, meaning);
  return kl::FromUtf8(text);
}

kl::string16 DefaultLogName(kl::string16_view key) {
  kl::string16 name = key.empty() ? kl::FromUtf8("kelo") : kl::string16(key);
  name += kl::FromUtf8("-setup.log");
  return name;
}

}  // namespace setuplog
