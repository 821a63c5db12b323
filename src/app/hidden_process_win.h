// The hidden command interpreters that remove folders and this program's
// working copy: started suspended and hidden, then let run at idle priority
// while this process runs at high priority, so that they act only once this
// process waits or has ended.
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include "ui/owners_win.h"

// Starts commandLine (changed in place by CreateProcessW) hidden and
// suspended; *out owns both handles. false when it cannot be started.
bool StartHiddenSuspended(wchar_t* commandLine, ui::ProcessInfo* out);

// Lowers a process started by StartHiddenSuspended to idle priority and lets
// it run.
void ResumeAtIdlePriority(const ui::ProcessInfo& process);
