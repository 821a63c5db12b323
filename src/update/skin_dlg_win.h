// The skin package dialog (template 141): opened from the driver update
// dialog's prismic question. On opening it fetches the server's skin list on
// a worker thread, downloads every package with its preview picture into the
// download folder and lists them with check boxes; selecting a row shows its
// preview beside the dialog; the install button copies the checked packages
// into the input method's skin folder ("prismic\<name>.zip", or "skin.zip"
// when the install folder has no skin folder). Install and Cancel are
// refused while the downloads run.
#pragma once

#include <windows.h>

#include <atomic>

#include "res/resource.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"
#include "update/pngshow_win.h"
#include "update/skin_update_win.h"

class CKL_SkinZipUpdateDlg : public ui::Dialog {
 public:
  CKL_SkinZipUpdateDlg();
  ~CKL_SkinZipUpdateDlg() override;

  void SetName(const wchar_t* imeName);
  // Where packages and pictures are downloaded (the driver dialog's folder).
  void SetDownloadFolder(const wchar_t* folder);

  bool idle() const { return idle_.load(); }

 protected:
  BOOL OnInitDialog() override;
  bool OnNotify(NMHDR* header, LRESULT* result) override;
  void OnTimer(UINT_PTR id) override;
  void OnOk() override;
  void OnCancel() override;
  void OnDestroy() override;

 private:
  static DWORD WINAPI WorkerMain(LPVOID param);
  static void OnProgress(const UpdateStatus* status, void* user);
  void RunWorker();
  void WaitForWorker();
  bool RefuseWhileBusy();

  std::atomic<bool> idle_{true};
  wchar_t name_[40] = {};
  wchar_t downloadFolder_[260] = {};
  KLSKINZIPUpdate engine_;
  CKL_PNGSHOW preview_;
  ui::Handle worker_;
  int lastShownRow_ = -1;
};
