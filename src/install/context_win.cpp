// Run context and progress reporting.
#include "install/context_win.h"

#include <commctrl.h>

#include "state/setup_log_win.h"

namespace {

template <class Context>
void InitCommon(Context& context, HWND ownerPage) {
  context.ownerPage = ownerPage;
  context.progressList = ownerPage ? ::GetDlgItem(ownerPage, kProgressListId) : nullptr;
  context.progressBar = ownerPage ? ::GetDlgItem(ownerPage, kProgressBarId) : nullptr;
  context.launch = g_launch;
  context.restartNeeded = 0;
  context.progressPos = 0;
  context.installDir[0] = 0;
}

template <class Context>
void Report(Context& context, int position, const wchar_t* text) {
  if (position >= 0) {
    context.progressPos = position;
    if (context.progressBar)
      ::SendMessageW(context.progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  // Every line goes to the run's log, also without a window to show it.
  if (text) setuplog::Write(text);
  // Without a list (no owner page) the run goes on silently.
  if (!text || !context.progressList) return;
  const LRESULT count = ::SendMessageW(context.progressList, LVM_GETITEMCOUNT, 0, 0);
  LVITEMW item = {};
  item.mask = LVIF_TEXT;
  item.iItem = static_cast<int>(count);
  item.pszText = const_cast<wchar_t*>(text);
  ::SendMessageW(context.progressList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  ::SendMessageW(context.progressList, WM_KEYDOWN, VK_END, VK_END);
}

}  // namespace

InstallContext InitInstallContext(HWND ownerPage, PackageHeader* header) {
  InstallContext context;
  InitCommon(context, ownerPage);
  context.header = header;
  context.journal = nullptr;
  return context;
}

UninstallContext InitUninstallContext(HWND ownerPage) {
  UninstallContext context;
  InitCommon(context, ownerPage);
  context.session = g_session;
  return context;
}

void ReportProgress(InstallContext& context, int position, const wchar_t* text) {
  Report(context, position, text);
}

void ReportProgress(UninstallContext& context, int position, const wchar_t* text) {
  Report(context, position, text);
}
