// The two registry records an install leaves: the system's uninstall record
// and the vendor key with the install directory.
#pragma once

#include <windows.h>

#include "install/context_win.h"

// "Software\zorbl\<imeName>\" under HKLM, then HKCU, with "KMEInstallPath" =
// installDir. A hive that cannot be written is skipped.
void WriteVendorKey(InstallContext& context);

// The sixteen values of the product's uninstall record: the subkey imeName
// of "Software\Microsoft\Windows\CurrentVersion\Uninstall" under HKLM.
// Writes what it can and always returns true. "InstallSource" is the rest
// of launch->commandLine after its last "file=".
bool WriteUninstallRecord(InstallContext& context, const wchar_t* userName,
                          const wchar_t* company);

// Sets a REG_SZ value with its terminating NUL counted. true when written.
bool SetStringValue(HKEY key, const wchar_t* name, const wchar_t* data);

// "EstimatedSize" of the uninstall record: the KB of every file the removal
// record lists (the product's own files, system folder and fonts included),
// written once the record is. Nothing when the product has no record.
void WriteEstimatedSize(const wchar_t* imeName);
