// The input method's own module: moved into the system directory as
// "<key>.kelo.ime" and installed as a keyboard layout by the input-method
// manager; the layout search that install and uninstall share; and the
// removal of every layout registration that uses a module.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "install/context_win.h"

// "<imeName>.kelo.ime": the name under which the system reports the module.
// false when it does not fit (the result is cut).
bool MakeImeFileName(const wchar_t* imeName, wchar_t (&out)[40]);

// The module's place in the system directory: "<system dir>\<imeName>.kelo.ime"
// (no second backslash when the directory already ends in one). false when the
// system directory cannot be read or the path does not fit.
bool MakeImeSystemPath(const wchar_t* imeName, wchar_t (&out)[MAX_PATH]);

// Install step 2, second half: copies "<installDir><imeName>.ime" over
// "<system dir>\<imeName>.kelo.ime" (no Users grant: administrators' code),
// deletes the source, installs the layout with header->layoutText and returns
// whether a loaded keyboard layout now uses the module. A module that cannot
// be copied adds the line "复制IME文件到系统目录发生错误，复制文件路径：<source>"
// and gives false.
bool RegisterIme(InstallContext& ctx);

// The first keyboard layout (in the system's list order) whose IME file is
// fileName, or null. Only the file-name part of what the input-method manager
// reports is compared (some systems report a full path), without regard to
// letter case.
HKL FindLayoutByImeFile(const wchar_t* fileName);

// Removes every keyboard-layout registration whose "Ime File" names the module
// imeFileName (file-name part, case-insensitive) from both control sets'
// "Keyboard Layouts", the current user's preload values that name those
// layouts, and unloads the loaded layouts of that module. The IME file itself
// is left alone. Returns the number of layout keys deleted.
int RemoveImeLayouts(const wchar_t* imeFileName);

// The text form of a layout handle's identifier: its low 32 bits as "%X"
// (upper-case hexadecimal, no leading zeros), as the registry names layouts.
void FormatLayoutId(HKL layout, wchar_t (&out)[20]);

// Identifiers of every keyboard layout that uses the module imeFileName:
// first the loaded ones in the system's list order, then those registered in
// either control set whose "Ime File" names it (file-name part,
// case-insensitive). Each identifier once; empty when none.
std::vector<std::wstring> LayoutsUsingModule(const wchar_t* imeFileName);

// Takes one layout out of the system: the first of the current user's preload
// values that names it (data compared without regard to case), its keys in
// both control sets' "Keyboard Layouts", and two unloads.
void RemoveLayoutById(const wchar_t* layoutId);
