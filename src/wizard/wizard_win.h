// The install wizard (template 138): directory and user pages under a tab,
// the licence link and radios, and the install button that checks the
// input method is not in use and then installs on a worker thread into the
// progress page.
//
// While the worker runs the wizard cannot be closed: Cancel, Esc and the
// close box are ignored (the close box is greyed) and button 1 is disabled,
// so the worker and the install sequence never outlive the windows they
// write to. The worker's last act is a message to the wizard, handled on the
// wizard's thread, that ends the run state and enables button 1 again.
#pragma once

#include <windows.h>

#include <atomic>

#include "ui/owners_win.h"
#include "wizard/pages_win.h"

class CKL_Install_BaseDlg : public ui::Dialog {
 public:
  CKL_Install_BaseDlg();
  ~CKL_Install_BaseDlg() override;  // waits for a worker that is still ending

  CKL_Install_Begain& progressPage() { return progress_; }
  CKL_Install_SelectDir& directoryPage() { return directory_; }
  CKL_Install_User& userPage() { return user_; }
  bool workerRunning() const { return running_; }

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnNotify(NMHDR* header, LRESULT* result) override;
  bool OnDrawItem(int id, DRAWITEMSTRUCT* item) override;
  bool OnSetCursor(HWND over, int hitTest, int mouseMessage) override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override { return icon_; }
  void OnCancel() override;
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

 private:
  static DWORD WINAPI WorkerMain(LPVOID self);
  void Work();
  void InstallCommand();
  void ShowPage(int index);
  void EndWork();  // from the worker: hands the end of the run to the wizard's thread
  void SetClosable(bool closable);

  // Members in construction order; destroyed in reverse.
  CKL_Install_Begain progress_;
  CKL_Install_SelectDir directory_;
  CKL_Install_User user_;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::atomic<bool> running_{false};
  bool ending_ = false;  // EndDialog called: start nothing more
  ui::Handle worker_;
  // The folder of the install command and whether it is refused (a system
  // or shell folder), found while the in-use scan runs, and the owner and
  // company read from their page: what the worker installs with.
  wchar_t checkedFolder_[260] = {};
  bool checkedRefused_ = false;
  const wchar_t* owner_ = nullptr;
  const wchar_t* company_ = nullptr;
};

// Whether path names a folder by a full path ("X:\..." or "\\server\share\...").
bool IsFullFolderPath(const wchar_t* path);
