// The two operation dialogs of an installed product: the uninstall dialog
// (template 133) and the repair dialog (template 137). Both show a progress
// list (1006) and bar (1008) and carry their state in the caption of button
// 1: the first press checks that no process holds the input method and runs
// the operation on the dialog's own thread, after which the button reads
// "完成(&O)" and a second press closes the dialog with OK.
//
// When the operation cannot go on (the in-use dialog cancelled during an
// uninstall, no usable backup for a repair) the dialog ends and exitCode()
// is 1: start-up then cleans up its temporary files and ends the process
// with that code.
#pragma once

#include <windows.h>

#include "res/resource.h"
#include "ui/dialog_win.h"

class CKL_OperationDlg : public ui::Dialog {
 public:
  int exitCode() const { return exitCode_; }

 protected:
  // readyCaption: button 1 in the ready state; suffix: after the display
  // name in the window caption; heading: the list's column.
  CKL_OperationDlg(int templateId, const wchar_t* readyCaption, const wchar_t* suffix,
                   const wchar_t* heading);

  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;

  // The operation behind the ready button, on the dialog's thread. false
  // when it did not run (the dialog stays ready or has been ended).
  virtual bool Run() = 0;
  // false: the dialog has been ended before it was shown (exitCode() set).
  virtual bool CanStart() { return true; }
  // End the dialog because the operation cannot go on: exit code 1.
  void Abandon();
  // Whether a process holds the input method and the user did not end it
  // through the in-use dialog.
  bool ImeStillInUse();

 private:
  const wchar_t* readyCaption_;
  const wchar_t* suffix_;
  const wchar_t* heading_;
  int exitCode_ = 0;
};

class CCKL_Uninstall : public CKL_OperationDlg {
 public:
  CCKL_Uninstall();

 protected:
  bool Run() override;
};

class CKL_Repair : public CKL_OperationDlg {
 public:
  CKL_Repair();

 protected:
  bool CanStart() override;
  bool Run() override;
};

// The owner and company a repair reinstalls with: "RegOwner" and
// "RegCompany" of the product's uninstall record, each falling back to the
// system's "RegisteredOwner" / "RegisteredOrganization" when missing or
// empty (each read limited to 256 bytes). Buffers are emptied first.
void ReadRepairOwner(const wchar_t* imeName, wchar_t (&owner)[260], wchar_t (&company)[260]);

// The unattended forms (no window at all; what a dialog would show goes to
// the log). Neither ends a process that holds the input method: its module
// is replaced or deleted at the next restart. Exit codes: 0 done, 3010 done
// but a restart is needed, 1603 failed (repair: no usable backup).
int RunSilentUninstall();
int RunSilentRepair();
