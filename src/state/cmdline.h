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

// Switches of an unattended run, recognised anywhere on the command line
// like the operation switches: "-s" (also "/s", "-S", "/S") as a word of its
// own, and the bracketed values "dir=[...]", "user=[...]", "company=[...]"
// and "log=[...]", each starting a word. A value ends at the first "]" that
// is followed by a blank or the end of the line, so it may hold blanks and
// brackets. Only the part of the line before the working copy's trailing
// " file=" is read. Words that are no switch are skipped, bracketed ones
// ("name=[...]") as a whole.
constexpr size_t kDirChars = 260;
constexpr size_t kOwnerChars = 256;
constexpr size_t kLogPathChars = 260;

enum class SwitchError {
  kNone,
  kUnclosed,  // "x=[" without its closing "]"
  kTooLong,   // a value longer than its field
  kEmpty,     // "dir=[]" or "log=[]"
  kRepeated,  // the same value switch twice
};

struct UnattendedSwitches {
  bool silent = false;
  bool hasDir = false;
  bool hasUser = false;
  bool hasCompany = false;
  bool hasLog = false;
  kl::wchar16 dir[kDirChars] = {};
  kl::wchar16 user[kOwnerChars] = {};
  kl::wchar16 company[kOwnerChars] = {};
  kl::wchar16 log[kLogPathChars] = {};
  SwitchError error = SwitchError::kNone;
  kl::wchar16 badSwitch[12] = {};  // the switch the error is about, e.g. "dir=["
  // Words an unattended run also knows: a help word ("/?", "-?", "/help",
  // "-help", "-h", "/h", "--help") and "downgrade" (a silent install may put
  // an older version over a newer one).
  bool help = false;
  bool downgrade = false;
  // The first word that is no switch at all (cut to the field), for a run
  // that must refuse it; empty when every word is known.
  kl::wchar16 unknownWord[48] = {};
};

// Fills *out (reset first). false when a value switch is malformed: then
// out->error and out->badSwitch say which, and no value is to be used
// except the log's, which is read whatever else is wrong, so that a refused
// run still logs where it was asked (silent, help and downgrade are still set
// wherever they stand). Unknown words do not make it false: they are
// reported in out->unknownWord (see StrictSwitchesOk).
// withoutValues (may be null) receives the line with every value switch
// read ("dir=[...]" and the others, quotes included) blanked out, so that
// the operation switches' "name=[" value, which runs to the last "]" of its
// 39 characters, never reaches into them; without value switches it is the
// line itself.
bool ParseUnattendedSwitches(const kl::wchar16* commandLine, UnattendedSwitches* out,
                             kl::string16* withoutValues = nullptr);

// An unattended run is strict: every word must be a known switch and every
// value switch well formed. false when that does not hold.
inline bool StrictSwitchesOk(const UnattendedSwitches& s, bool parsed) {
  return parsed && !s.unknownWord[0];
}

// The text of the help ("/?"): one line for each switch, then the exit codes.
const kl::wchar16* UsageText();

// Exit codes of a run (the usual installer convention).
constexpr int kExitSuccess = 0;
constexpr int kExitRestartNeeded = 3010;
constexpr int kExitNothingToDo = 1602;  // also: cancelled
constexpr int kExitFailure = 1603;
constexpr int kExitAnotherSetup = 1618;
constexpr int kExitNewerInstalled = 1638;  // a newer version is installed
constexpr int kExitBadCommandLine = 1639;
