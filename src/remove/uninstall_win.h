// The uninstall sequence and its two removal steps: the product's links and
// Start-menu folder, and its keyboard layouts with the IME module. All three
// work on an UninstallContext and read the installed product from
// g_session (installDir, imeName, displayName).
#pragma once

#include <windows.h>

#include "install/context_win.h"

// The six numbered steps: the interface library's farewell call, the install
// folder, data folder and virtualised copies, the links, the registry
// records, the layouts and module. Every step runs; what cannot be removed
// stays, without a message. Reports into the context (nothing without an
// owner). Returns 1.
int RunUninstall(UninstallContext& context);

// The desktop link, the eight Start-menu links in order, the tools and
// product folders (then whatever is left of the product folder) and the
// four shell notifications. A display name that cannot be a folder name
// touches no folder. Returns 1.
int RemoveShortcuts(UninstallContext& context);

// Every keyboard layout that uses "<imeName>.kelo.ime" (loaded, or
// registered in either control set): for each its first preload value, its
// keys in both control sets and two unloads; then the setting-change
// broadcast (bounded) and the module deleted from the system directory (at
// the next restart when in use). 0, with nothing changed, when no layout
// uses the module; 1 otherwise.
int RemoveInputMethod(UninstallContext& context);

// The program the user started, which started this run (the installed
// unstall.exe, or the program whose working copy this is): what follows the
// last "file=" of the command line; null without one.
const wchar_t* StartingProgram();

// How long the final setting-change broadcast waits for each window that is
// not hung.
constexpr UINT kLayoutBroadcastTimeoutMs = 5000;
