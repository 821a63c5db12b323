// The text of the setup log: one UTF-8 line per entry, stamped with the
// local time, in a file that starts with a byte-order mark. The Windows side
// (setup_log_win.h) owns the file; this part only formats.
#pragma once

#include <string>

#include "base/text.h"

namespace setuplog {

constexpr char kBom[] = "\xEF\xBB\xBF";

struct Stamp {
  int year, month, day, hour, minute, second, millisecond;
};

// "YYYY-MM-DD hh:mm:ss.mmm  <text>\r\n" in UTF-8. Line breaks and other
// control characters of text become blanks, so one entry is one line; an
// unpaired surrogate becomes U+FFFD.
std::string FormatLine(const Stamp& stamp, kl::string16_view text);

// What every log of this program starts with: the byte-order mark and the
// stamp of its first line ("YYYY-MM-DD hh:mm:ss.mmm  "), kHeaderBytes in all.
// A file that does not start so is not ours to replace.
constexpr size_t kHeaderBytes = 3 + 25;
bool StartsWithLogHeader(const unsigned char* data, size_t size);

// The exit-code line: "exit code 3010 (success, restart needed)" and so on.
kl::string16 ExitLine(int exitCode);

// The default log's file name for a product key: "<key>-setup.log";
// "kelo-setup.log" when no key is known (yet).
kl::string16 DefaultLogName(kl::string16_view key);

}  // namespace setuplog
