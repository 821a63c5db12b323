#include "app/silent_update_win.h"

#include <windows.h>

#include "base/format_win.h"
#include "install/inuse_win.h"
#include "state/cmdline.h"
#include "state/records.h"
#include "state/setup_log_win.h"
#include "update/update_engine_win.h"

int RunSilentUpdate() {
  const wchar_t* name = g_session->imeName;
  KLIMEUpdate engine;
  engine.SetDownloadFolder(g_launch->workFolder);
  engine.SetReplaceAtRestart(true);
  // The engine logs every line it would show; nothing else is to be done
  // with them here.
  if (!engine.Prepare({nullptr, nullptr, nullptr})) {
    setuplog::Write(L"the update cannot start (no work folder)");
    return kExitFailure;
  }
  wchar_t imeFile[64];
  kl::Format(imeFile, L"%s.kelo.ime", name);
  if (LogImeInUse(imeFile)) setuplog::Write(L"a driver in use is replaced at the next restart");

  engine.Init(name);
  if (!engine.installDir()[0]) return kExitFailure;  // the engine has said why
  engine.CheckUpdates();
  bool failed = engine.listFailures() > 0;
  int updated = 0;
  const UpdateEntryList& plan = *engine.plan();
  for (size_t i = 0; i < plan.Count(); ++i) {
    UpdateEntry* item = plan.At(i);
    if (item->localVersion >= item->serverVersion) continue;
    if (engine.UpdateItem(item))
      ++updated;
    else
      failed = true;
  }
  setuplog::Writef(L"drivers updated: %d of %u planned%s", updated,
                   static_cast<unsigned>(plan.Count()),
                   engine.listFailures() ? L"; a list could not be used" : L"");
  if (failed) return kExitFailure;
  return engine.restartNeeded() ? kExitRestartNeeded : kExitSuccess;
}
