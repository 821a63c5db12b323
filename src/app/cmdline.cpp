#include "app/cmdline.h"

#include "app/records.h"

namespace {

struct SwitchSet {
  kl::wchar16 mode;
  const kl::wchar16* spellings[4];
};

const SwitchSet kSwitches[] = {
    {kModeUninstall,
     {KL_T("-u name=["), KL_T("-U name=["), KL_T("/u name=["), KL_T("/U name=[")}},
    {kModeRepair,
     {KL_T("-r name=["), KL_T("-R name=["), KL_T("/r name=["), KL_T("/R name=[")}},
    {kModeUpdate,
     {KL_T("-g name=["), KL_T("-G name=["), KL_T("/g name=["), KL_T("/G name=[")}},
};

// Copies the switch's value: at most kImeNameChars - 1 characters, cut at
// the last "]" of the copy.
void TakeName(const kl::wchar16* value, kl::wchar16 (&imeName)[kImeNameChars]) {
  kl::Copy(imeName, value);
  kl::wchar16* lastBracket = nullptr;
  for (kl::wchar16* p = imeName; *p; ++p)
    if (*p == u']') lastBracket = p;
  if (lastBracket) *lastBracket = 0;
}

}  // namespace

void ParseModeSwitches(const kl::wchar16* commandLine, kl::wchar16* mode,
                       kl::wchar16 (&imeName)[kImeNameChars]) {
  *mode = kModeInstall;
  if (!commandLine) return;
  for (const SwitchSet& set : kSwitches) {
    for (const kl::wchar16* spelling : set.spellings) {
      const kl::wchar16* at = kl::Find(commandLine, spelling);
      if (!at) continue;
      TakeName(at + kl::StrLen(spelling), imeName);
      *mode = set.mode;
      break;
    }
  }
}

namespace {

bool IsBlank(kl::wchar16 c) { return c == u' ' || c == u'\t'; }

// Where the part of the line that holds switches ends: at the blank before
// the last word that starts with "file=" (the working copy's own argument,
// which takes the rest of the line), else at the end.
const kl::wchar16* SwitchPartEnd(const kl::wchar16* line) {
  const kl::wchar16* end = line + kl::StrLen(line);
  const kl::wchar16* cut = end;
  for (const kl::wchar16* p = line; p < end; ++p) {
    if ((p == line || IsBlank(p[-1])) && end - p >= 5 && p[0] == u'f' && p[1] == u'i' &&
        p[2] == u'l' && p[3] == u'e' && p[4] == u'=')
      cut = p;
  }
  return cut;
}

bool StartsWith(const kl::wchar16* p, const kl::wchar16* end, const char* prefix) {
  for (; *prefix; ++prefix, ++p)
    if (p >= end || *p != static_cast<kl::wchar16>(*prefix)) return false;
  return true;
}

// The closing "]" of a bracketed value that starts at p: the first one
// followed by a blank or `end` (in a quoted word: by the closing quote and
// then a blank or `end`). null when there is none.
const kl::wchar16* ClosingBracket(const kl::wchar16* p, const kl::wchar16* end, bool quoted) {
  const ptrdiff_t after = quoted ? 2 : 1;
  for (; p < end; ++p)
    if (*p == u']' && (!quoted || (p + 1 < end && p[1] == u'"')) &&
        (end - p == after || IsBlank(p[after])))
      return p;
  return nullptr;
}

}  // namespace

bool ParseUnattendedSwitches(const kl::wchar16* commandLine, UnattendedSwitches* out,
                             kl::string16* withoutValues) {
  *out = UnattendedSwitches();
  if (withoutValues) withoutValues->assign(commandLine ? commandLine : KL_T(""));
  if (!commandLine) return true;
  struct ValueSwitch {
    const char* prefix;
    bool* present;
    kl::wchar16* field;
    size_t cap;
    bool mayBeEmpty;
  };
  const ValueSwitch values[] = {
      {"dir=[", &out->hasDir, out->dir, kDirChars, false},
      {"user=[", &out->hasUser, out->user, kOwnerChars, true},
      {"company=[", &out->hasCompany, out->company, kOwnerChars, true},
      {"log=[", &out->hasLog, out->log, kLogPathChars, false},
  };
  const kl::wchar16* end = SwitchPartEnd(commandLine);
  const kl::wchar16* p = commandLine;
  bool ok = true;
  while (p < end) {
    if (IsBlank(*p)) {
      ++p;
      continue;
    }
    // One word starts at p; a quoted one ("dir=[C:\a b]", as a program
    // that quotes every argument with a blank passes it) after its quote.
    const bool quoted = *p == u'"';
    const kl::wchar16* wordStart = p;
    if (quoted) ++p;
    const kl::wchar16* wordEnd = p;
    while (wordEnd < end && !IsBlank(*wordEnd) && *wordEnd != u'[' && *wordEnd != u'"')
      ++wordEnd;
    if (wordEnd < end && *wordEnd == u'[') {
      // A bracketed value: the word runs to its closing bracket.
      const kl::wchar16* valueStart = wordEnd + 1;
      const kl::wchar16* close = ClosingBracket(valueStart, end, quoted);
      const ValueSwitch* known = nullptr;
      for (const ValueSwitch& v : values)
        if (StartsWith(p, end, v.prefix) && p + kl::StrLen(v.prefix) == valueStart) known = &v;
      if (known && ok) {
        SwitchError error = SwitchError::kNone;
        const size_t length = close ? static_cast<size_t>(close - valueStart) : 0;
        if (!close)
          error = SwitchError::kUnclosed;
        else if (*known->present)
          error = SwitchError::kRepeated;
        else if (length >= known->cap)
          error = SwitchError::kTooLong;
        else if (length == 0 && !known->mayBeEmpty)
          error = SwitchError::kEmpty;
        if (error != SwitchError::kNone) {
          ok = false;
          out->error = error;
          for (size_t i = 0; known->prefix[i] && i + 1 < sizeof(out->badSwitch) / 2; ++i)
            out->badSwitch[i] = static_cast<kl::wchar16>(known->prefix[i]);
        } else {
          for (size_t i = 0; i < length; ++i) known->field[i] = valueStart[i];
          known->field[length] = 0;
          *known->present = true;
        }
      }
      p = close ? close + (quoted ? 2 : 1) : end;
      if (known && withoutValues)
        for (const kl::wchar16* c = wordStart; c < p; ++c)
          (*withoutValues)[static_cast<size_t>(c - commandLine)] = u' ';
      continue;
    }
    if (quoted) {
      // Any other quoted word is skipped whole, blanks included.
      while (wordEnd < end && *wordEnd != u'"') ++wordEnd;
      p = wordEnd < end ? wordEnd + 1 : end;
      continue;
    }
    const size_t length = static_cast<size_t>(wordEnd - p);
    if (length == 2 && (p[0] == u'-' || p[0] == u'/') && (p[1] == u's' || p[1] == u'S'))
      out->silent = true;
    p = wordEnd < end && *wordEnd == u'"' ? wordEnd + 1 : wordEnd;
  }
  if (!ok) {
    const bool silent = out->silent;
    const SwitchError error = out->error;
    kl::wchar16 bad[12];
    for (size_t i = 0; i < 12; ++i) bad[i] = out->badSwitch[i];
    *out = UnattendedSwitches();
    out->silent = silent;
    out->error = error;
    for (size_t i = 0; i < 12; ++i) out->badSwitch[i] = bad[i];
  }
  return ok;
}
