// Authenticode signing of a finished setup with osslsigncode (Debian's
// package of that name), as a vendor ships it.
#pragma once

#include <string>

#include "klpack.h"

namespace klpack {

struct SignOptions {
  fs::path certificate;     // PEM (or DER) certificate chain
  fs::path key;             // its private key
  std::string timestampUrl; // empty: no time stamp
};

// The options alone: both files readable, the time-stamp address a plain
// http(s) URL. Checked before anything is built.
Status CheckSignOptions(const SignOptions& opt);

// Signs `file` in place: osslsigncode writes a signed copy next to it, which
// then replaces the file. Nothing changes when signing fails.
Status SignSetup(const fs::path& file, const SignOptions& opt);

}  // namespace klpack
