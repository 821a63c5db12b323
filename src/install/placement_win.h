// Install step 1: the extracted package goes into place. The top-level
// folders "$system32$", "$windows$", "$fonts$" and "$dataFiles$" go to system
// locations (fonts are installed and registered); everything else goes to the
// install directory, followed by the uninstaller program.
#pragma once

#include <windows.h>

#include "install/context_win.h"

// true when "<installDir>unstall.exe" exists afterwards. A target that was in
// use and is replaced only at the next restart sets context.restartNeeded.
bool PlaceFiles(InstallContext& context);

// Installs the font files (names containing ".ttf" or ".ttc", case-sensitive)
// found directly in folder (ending with a backslash): copied into the fonts
// folder, added to the font table and registered. false only when the fonts
// folder cannot be determined. With a context, what is new is journaled.
bool InstallFonts(const wchar_t* folder, InstallContext* context = nullptr);

// Writes valueName = fileName (REG_SZ) under the HKLM key
// "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Fonts". false when the key
// cannot be opened or the value cannot be set. With a context, the value's
// old state is journaled first.
bool RegisterFontValue(const wchar_t* valueName, const wchar_t* fileName,
                       InstallContext* context = nullptr);

// The registry value name of a font file: "<name up to .ttf>(TrueType)", or
// "<name>(TrueType-C)" for ".ttc" files, cut to 63 characters. false for a
// file that is not a font by those rules.
bool FontValueName(const wchar_t* fileName, wchar_t (&valueName)[64]);

// How long the font-change broadcast waits for each top-level window.
constexpr UINT kFontChangeTimeoutMs = 1000;
