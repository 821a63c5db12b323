// The run context of an install, repair or uninstall: the page that shows
// the progress, its list (control 1006) and bar (control 1008), the launch
// state and the product record, and the one reporting operation every step
// uses.
#pragma once

#include <windows.h>

#include "state/records.h"

namespace kl {
class InstallJournal;
}

constexpr int kProgressListId = 1006;
constexpr int kProgressBarId = 1008;

// One install or repair run. Owned by the caller for the run's duration.
struct InstallContext {
  HWND ownerPage;                  // the page that shows the progress (may be null)
  HWND progressList;               // report-mode list view 1006 of the page, or null
  HWND progressBar;                // progress bar 1008 of the page, or null
  LaunchInfo* launch;              // the run's paths
  int32_t restartNeeded;           // non-zero: some settings take effect after a restart
  int32_t progressPos;             // last position sent to the bar, 0..100
  PackageHeader* header;           // product description (g_header, or a private copy on repair)
  wchar_t installDir[kPathChars];  // always ends with a backslash once the sequence set it
  kl::InstallJournal* journal;     // what the run created, for undoing a failed run (may be null)
};

// One uninstall run: the same fields, with the installed product's record.
struct UninstallContext {
  HWND ownerPage;
  HWND progressList;
  HWND progressBar;
  LaunchInfo* launch;
  int32_t restartNeeded;
  int32_t progressPos;
  InstallSession* session;         // g_session: installDir and imeName of the product
  wchar_t installDir[kPathChars];  // cleared; the uninstall steps use session->installDir
};

// Builds a context for `ownerPage` (may be null: no reporting at all).
InstallContext InitInstallContext(HWND ownerPage, PackageHeader* header);
UninstallContext InitUninstallContext(HWND ownerPage);

// position >= 0 moves the bar (and is remembered); negative leaves it.
// text (may be null) is appended as the last line of the list, which is
// then scrolled to its end. Only synchronous messages are sent, so a worker
// thread needs the page's thread to keep pumping.
void ReportProgress(InstallContext& context, int position, const wchar_t* text);
void ReportProgress(UninstallContext& context, int position, const wchar_t* text);
