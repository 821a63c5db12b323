// The install sequence: six numbered steps reported into the page that
// started them, for a first install (wizard) and for a repair.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "install/context_win.h"

// Runs the six steps on an extracted package (launch->extractFolder) into
// installDir (a backslash is added when missing). true when every step ran;
// false after the first failing step, with the failure line added; what the
// run created is then taken back (see rollback_win.h): files, folders, fonts,
// registry keys and values, the IME module and the layouts it registered,
// links. An empty installDir fails before any step. The temporary files of
// the run are removed in every case.
bool RunInstall(InstallContext& context, const wchar_t* installDir, const wchar_t* userName,
                const wchar_t* company);

// The wizard's entry: a context on ownerPage with the process-wide header,
// then RunInstall. madeFolders are folders the wizard created for the run
// (outermost first); a failed run removes them with the rest.
bool InstallFromWizard(HWND ownerPage, const wchar_t* installDir, const wchar_t* userName,
                       const wchar_t* company,
                       const std::vector<std::wstring>& madeFolders = {});

// The repair dialog's entry: extracts "<g_session->installDir>_backup_.dat",
// reads its "InstallInfo.kif" into a private header and runs RunInstall into
// g_session->installDir. Nothing is reported when the backup cannot be
// extracted, carries no complete header, or names another key than
// g_session->imeName (or one that is no plain key name). context.header is
// left null. true when the install ran and succeeded.
bool RunRepairInstall(InstallContext& context, const wchar_t* userName, const wchar_t* company);

// Install step 6: deletes "<installDir>InstallInfo.kif", removes the work
// folder and the browser-virtualised copies of the data folders.
void CleanUpInstallFiles(InstallContext& context);
