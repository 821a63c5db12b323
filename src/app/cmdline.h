// Operation switches of the command line: "-u name=[X]" (uninstall),
// "-r name=[X]" (repair) and "-g name=[X]" (update), each in four spellings.
#pragma once

#include <cstddef>

#include "base/text.h"

// Characters kept of the text that follows a switch (the key-name field
// holds 40 including its terminator).
constexpr size_t kImeNameChars = 40;

// Scans commandLine for the three switches in the order uninstall, repair,
// update; every switch found sets *mode (to 'U', 'R' or 'G') and replaces
// imeName with at most 39 characters of the text that follows it, cut at
// the last "]" among them. A switch that is absent changes nothing, so the
// last one found in that order decides. *mode is reset to install (0) first.
// The spellings are "-x name=[", "-X name=[", "/x name=[", "/X name=[" only;
// "name=[" must be lower case. A null commandLine counts as empty.
void ParseModeSwitches(const kl::wchar16* commandLine, kl::wchar16* mode,
                       kl::wchar16 (&imeName)[kImeNameChars]);
