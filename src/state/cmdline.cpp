#include "state/cmdline.h"

#include <string>

#include "state/records.h"

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

// Words of their own that an unattended run knows besides "-s".
const char* const kHelpWords[] = {"/?", "-?", "/help", "-help", "--help", "/h", "-h", nullptr};
const char* const kOtherWords[] = {"downgrade", "-u", "-U", "/u", "/U", "-r", "-R",
                                   "/r",        "/R", "-g", "-G", "/g", "/G", nullptr};

bool IsWord(const kl::wchar16* p, const kl::wchar16* end, const char* const* words) {
  for (; *words; ++words)
    if (StartsWith(p, end, *words) && p + std::char_traits<char>::length(*words) == end)
      return true;
  return false;
}

// Keeps the first word that is no switch (cut to its field).
void NoteUnknown(const kl::wchar16* from, const kl::wchar16* to, UnattendedSwitches* out) {
  if (out->unknownWord[0] || from >= to) return;
  const size_t cap = sizeof(out->unknownWord) / sizeof(out->unknownWord[0]) - 1;
  size_t i = 0;
  for (; i < cap && from + i < to; ++i) out->unknownWord[i] = from[i];
  out->unknownWord[i] = 0;
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
      // The log's value is read even after another switch was refused.
      if (known && (ok || known->field == out->log)) {
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
          if (ok) {  // after a first refusal, that one is the one reported
            ok = false;
            out->error = error;
            for (size_t i = 0; known->prefix[i] && i + 1 < sizeof(out->badSwitch) / 2; ++i)
              out->badSwitch[i] = static_cast<kl::wchar16>(known->prefix[i]);
          }
        } else {
          for (size_t i = 0; i < length; ++i) known->field[i] = valueStart[i];
          known->field[length] = 0;
          *known->present = true;
        }
      }
      if (!known && !StartsWith(p, end, "name=[")) NoteUnknown(wordStart, close ? close + 1 + quoted : end, out);
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
      NoteUnknown(wordStart, p, out);
      continue;
    }
    const size_t length = static_cast<size_t>(wordEnd - p);
    if (length == 2 && (p[0] == u'-' || p[0] == u'/') && (p[1] == u's' || p[1] == u'S'))
      out->silent = true;
    else if (IsWord(p, wordEnd, kHelpWords))
      out->help = true;
    else if (IsWord(p, wordEnd, kOtherWords))
      out->downgrade = out->downgrade || StartsWith(p, wordEnd, "downgrade");
    else
      NoteUnknown(wordStart, wordEnd < end && *wordEnd == u'"' ? wordEnd + 1 : wordEnd, out);
    p = wordEnd < end && *wordEnd == u'"' ? wordEnd + 1 : wordEnd;
  }
  if (!ok) {
    // Only the words and the log survive a refused value switch.
    UnattendedSwitches kept;
    kept.silent = out->silent;
    kept.help = out->help;
    kept.downgrade = out->downgrade;
    kept.error = out->error;
    kl::Copy(kept.badSwitch, out->badSwitch);
    kl::Copy(kept.unknownWord, out->unknownWord);
    if (out->hasLog && !StartsWith(out->badSwitch, out->badSwitch + 5, "log=[")) {
      kept.hasLog = true;
      kl::Copy(kept.log, out->log);
    }
    *out = kept;
  }
  return ok;
}

const kl::wchar16* UsageText() {
  return KL_T("用法：setup.exe [开关]\n")
      KL_T("　　　unstall.exe [开关] -u|-r|-g name=[名称]\n\n")
      KL_T("-s\t\t无人值守，不显示窗口\n")
      KL_T("dir=[…]\t\t安装文件夹\n")
      KL_T("user=[…]\t\t用户名\n")
      KL_T("company=[…]\t单位名称\n")
      KL_T("log=[…]\t\t日志文件\n")
      KL_T("downgrade\t允许无人值守安装旧版本\n")
      KL_T("-u name=[…]\t卸载\n")
      KL_T("-r name=[…]\t修复\n")
      KL_T("-g name=[…]\t检查并安装更新\n")
      KL_T("/?\t\t显示本帮助\n\n")
      KL_T("退出代码：\n")
      KL_T("0 完成；3010 重新启动后完成；1602 没有可做的操作\n")
      KL_T("1603 失败；1618 另一个安装程序正在运行\n")
      KL_T("1638 已安装更新的版本；1639 命令行无效");
}
