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

// What the update client would refuse of a driver of `type` (an update
// list type code): "" when none. name: the file in messages.
std::string DriverUpdateProblem(int32_t type, const std::vector<unsigned char>& bytes,
                                const std::string& name);

}  // namespace klpack
