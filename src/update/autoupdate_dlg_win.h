// The driver update dialog (template 139): on opening it checks the update
// server for newer drivers of the named input method on a worker thread,
// lists the planned items with their local and offered versions, installs the
// newer ones and reports each step in its message list. Retry repeats the
// check; Exit closes the dialog.
//
// The worker never reaches the dialog object: it works on a shared state
// (the engine and the window handles) that it owns together with the dialog,
// and changes the controls only by messages to their windows. Closing the
// dialog during a check cancels the check (the transfer under way is cut) and
// waits a bounded time for the worker; a worker that is still busy after that
// keeps the engine alive by itself and finds no window to talk to. Only one
// check runs at a time: the dialog marks itself busy before it starts the
// worker and clears the mark when the worker's last message arrives.
#pragma once

#include <windows.h>

#include <memory>

#include "res/resource.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"

struct AutoUpdateShared;

class CKL_AutoUpdateDlg : public ui::Dialog {
 public:
  CKL_AutoUpdateDlg();
  ~CKL_AutoUpdateDlg() override;

  // The input method's key name (start-up hands in InstallSession.imeName).
  void SetName(const wchar_t* imeName);
  // Where the engine downloads and unpacks (start-up: its work folder).
  void SetDownloadFolder(const wchar_t* folder);

  bool busy() const { return busy_; }

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;
  void OnTimer(UINT_PTR id) override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override { return icon_; }
  void OnCancel() override;
  void OnDestroy() override;
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

 private:
  void StartCheck();
  void StopWorker();

  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  wchar_t name_[40] = {};
  wchar_t downloadFolder_[260] = {};
  std::shared_ptr<AutoUpdateShared> shared_;
  ui::Handle worker_;
  bool busy_ = false;
  bool prepared_ = false;
};
