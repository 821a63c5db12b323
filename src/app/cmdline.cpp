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
