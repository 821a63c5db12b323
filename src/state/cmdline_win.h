// The command line of the run and the registry look-ups that complete the
// installed product's record.
#pragma once

#include <windows.h>

#include "state/records.h"

// Reads g_launch->commandLine; sets g_launch->mode and g_session->imeName,
// then looks the product up in the registry: "DisplayName" of its uninstall
// record (HKLM) into g_session->displayName, and "KMEInstallPath" of the
// vendor key "Software\zorbl\<name>" under HKLM (the key the elevated install
// wrote; a per-user value is never used) into g_session->installDir.
// Missing keys or values leave the fields empty. For
// -u, -r and -g a name that is not a plain key name (kl::CheckKeyName) is
// cleared and nothing is looked up, so the operation finds nothing installed.
void ParseCommandLine();

// Writes to the run's log that the per-user "KMEInstallPath" was ignored,
// when the last ParseCommandLine (-u, -r, -g) found one that is not empty
// and names another folder than the machine-wide value; else nothing.
void LogIgnoredUserInstallFolder();

// The per-product data folder: the common application-data folder followed
// by "\KeloIMEs\", imeName and "\" (cut to 259 characters). The folder is not
// created. false (path empty) when the shell cannot give the common folder.
bool GetProductDataFolder(const wchar_t* imeName, wchar_t (&path)[kPathChars]);

// What follows the last "file=" of commandLine: the program the user started,
// which the relaunch appends as the last argument (unquoted, to the end of
// the line); null without one.
const wchar_t* FileArgument(const wchar_t* commandLine);
