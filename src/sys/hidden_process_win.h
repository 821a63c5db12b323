// The hidden command interpreters that remove folders and this program's
// working copy: started suspended and hidden, then let run at idle priority
// while this process runs at high priority, so that they act only once this
// process waits or has ended.
//
// The interpreter is always "<system folder>\cmd.exe", started in the system
// folder: never a program named by COMSPEC, PATH or a user's current folder
// (cmd looks for a bare command name in its current folder first).
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include "ui/owners_win.h"

// Starts "<system folder>\cmd.exe" /c <command> hidden and suspended, its
// current folder the system folder; *out owns both handles. false when the
// command line does not fit in 600 characters or nothing can be started.
bool StartHiddenInterpreter(const wchar_t* command, ui::ProcessInfo* out);

// "<system folder>\<name>" as a command handed to the interpreter names it:
// unquoted, so the short form where the long one holds a blank. false when
// no such form fits or one still holds a blank, a quote or a "%".
bool SystemProgramForCommand(const wchar_t* name, wchar_t (&out)[MAX_PATH]);

// Lowers a process started by StartHiddenInterpreter to idle priority and
// lets it run.
void ResumeAtIdlePriority(const ui::ProcessInfo& process);

// Runs command in the hidden interpreter after a pause of about two seconds
// ("<system folder>\ping.exe" -n 3 127.0.0.1), at idle priority while this
// process runs at high priority from now on; not waited for. For what must
// happen once this process has ended (deleting its own file or folder): the
// pause lets it end first even where the interpreter gets a processor of
// its own at once. false when the line does not fit or nothing can be
// started.
bool StartAfterPause(const wchar_t* command);
