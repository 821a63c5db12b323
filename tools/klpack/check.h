// klpack check: a product folder and its manifest against what the setup,
// its wizard, its shortcuts and the online update need of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "klpack.h"

namespace klpack {

struct CheckReport {
  std::vector<std::string> errors;    // the install would fail
  std::vector<std::string> warnings;  // a later feature would break
  // "error: ..." and "warning: ..." lines, then a summary line.
  std::string Text() const;
};

// Reads the manifest and the folder (a manifest or folder that cannot be
// read is the returned error) and fills the report.
Status CheckProduct(const fs::path& manifest, const fs::path& folder, CheckReport* report);

// Four numbers of at most five digits, each at most 65535, between dots.
bool IsFourNumbers(const std::string& text);

// The update rewrites a downloaded driver of `type` (an update list type
// code) with what the installed one carries: the installed module (and
// Unstall.exe) must have icon 1, the installed skin driver bitmaps 103 and
// 104. InstalledDriverProblem: what the installed file lacks; "" when
// nothing. name: the file in messages.
std::string InstalledDriverProblem(int32_t type, const std::vector<unsigned char>& bytes,
                                   const std::string& name);
// What the update client refuses of a published driver: its version
// resource must list a translation whose string table holds FileDescription
// and CompanyName (both are rewritten), and for a module, skin driver or
// INSTALLBASE_DRIVE the first translation must name a language (resources
// are copied into it under that language). "" when nothing.
std::string PublishedDriverProblem(int32_t type, const std::vector<unsigned char>& bytes,
                                   const std::string& name);

}  // namespace klpack
