// The wizard's pages and its licence dialog: the progress page the install
// sequence writes into, the install-folder page, the owner/company page, and
// the licence shown in a hosted web-browser control.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "state/records.h"
#include "ui/dialog_win.h"

// Owner and company of the run: filled once from the registered owner and
// organisation, then from the user page's edits when the install starts.
extern wchar_t g_regOwner[256];
extern wchar_t g_regCompany[256];

// Loads atl.dll (kept for the whole run) and registers its "AtlAxWin" host
// window class. true when the class is available. Safe to call repeatedly.
bool EnableActiveXHosting();

// Progress page (template 143): list 1006 with one 330-pixel column
// "安装详细信息" and full-row selection, bar 1008.
class CKL_Install_Begain : public ui::Dialog {
 public:
  CKL_Install_Begain() : ui::Dialog(IDD_PROGRESS_PAGE) {}
  // Runs the install sequence reporting into this page (any thread while
  // the page's thread pumps). true on success.
  // madeFolders: folders created for this run, removed again when it fails.
  bool RunInstall(const wchar_t* installDir, const wchar_t* owner, const wchar_t* company,
                  const std::vector<std::wstring>& madeFolders = {});

 protected:
  BOOL OnInitDialog() override;
};

// Install-folder page (template 130): edit 1022 and browse 1005. The folder
// is "<program files>\<key>\" unless an earlier install locked it through
// "KMEInstallPath" of the vendor key (HKLM), in which case the edit is
// disabled and browse only explains why.
class CKL_Install_SelectDir : public ui::Dialog {
 public:
  CKL_Install_SelectDir() : ui::Dialog(IDD_DIR_PAGE) {}
  bool locked() const { return locked_; }
  const wchar_t* folder() const { return folder_; }
  // The folder as the user left it in edit 1022 (cut to cap - 1 characters).
  size_t InstallFolder(wchar_t* buf, size_t cap) const { return GetItemText(IDC_INSTALL_DIR, buf, cap); }

  // "<base>" + "\" (when missing) + imeName + "\" into out. false, and out
  // untouched, when the result would not fit in kPathChars - 1 characters or
  // base is empty: an over-long folder is refused, never cut.
  static bool ComposeFolder(const wchar_t* base, const wchar_t* imeName, wchar_t (&out)[kPathChars]);

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnOk() override {}      // Enter/Esc inside a page must not end it
  void OnCancel() override {}

 private:
  void Browse();

  bool locked_ = false;
  wchar_t folder_[kPathChars] = L"c:\\";
};

// Owner/company page (template 102): edits 1004 and 1005.
class CKL_Install_User : public ui::Dialog {
 public:
  CKL_Install_User() : ui::Dialog(IDD_USER_PAGE) {}
  // Reads the edits into g_regOwner / g_regCompany and hands both out.
  void GetUser(const wchar_t** owner, const wchar_t** company);

 protected:
  BOOL OnInitDialog() override;
  void OnOk() override {}
  void OnCancel() override {}
};

// Licence dialog (template 136): the web-browser control hosted by atl.dll
// over placeholder 1014, navigated to "<extract>License.html" or, failing
// that, to the page inside "<extract>main.chm". Without either (or without
// a browser) the dialog stays empty.
class CKL_Install_Licence : public ui::Dialog {
 public:
  CKL_Install_Licence() : ui::Dialog(IDD_LICENCE) {}
  // The address navigated to ("" when none).
  const wchar_t* address() const { return address_; }
  bool hosted() const { return hosted_; }
  // Runs the dialog modally with OLE initialised on this thread around it.
  INT_PTR Run(HWND owner);

  // The address for an extraction folder: "" when no licence file exists.
  static void LicenceAddress(const wchar_t* extractFolder, wchar_t (&out)[kPathChars + 40]);

 protected:
  BOOL OnInitDialog() override;

 private:
  wchar_t address_[kPathChars + 40] = {};
  bool hosted_ = false;
};
