#include "update/autoupdate_dlg_win.h"

#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "base/format_win.h"
#include "install/inuse_win.h"
#include "update/skin_dlg_win.h"
#include "update/update_engine_win.h"

// What the dialog and its worker share. The worker holds its own reference,
// so the engine outlives a dialog that closed during a check; the window
// handles are cleared before the dialog goes, after which the worker's
// messages reach nobody.
struct AutoUpdateShared {
  KLIMEUpdate engine;
  wchar_t name[40] = {};
  std::atomic<HWND> dialog{nullptr};
  std::atomic<HWND> items{nullptr};
  std::atomic<HWND> messages{nullptr};
  std::atomic<HWND> retry{nullptr};
  ui::Handle skinsClosed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set when the skin dialog ends
};

namespace {

constexpr UINT_PTR kStartTimer = 1;
constexpr UINT kWorkerDone = WM_APP + 0x31;  // posted by the worker as its last act
constexpr UINT kOpenSkins = WM_APP + 0x32;  // sent by the worker: run the skin dialog
constexpr DWORD kStopWaitMs = 15000;         // how long closing waits for a cancelled check

constexpr wchar_t kDoneText[] = L"完成";
constexpr wchar_t kFailedText[] = L"失败";

// ---- list view and list box by window (the worker's side) ----

void InsertRow(HWND list, int row, const wchar_t* text) {
  if (!list) return;
  LVITEMW it = {};
  it.mask = LVIF_TEXT;
  it.iItem = row;
  it.pszText = const_cast<wchar_t*>(text);
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it));
}

void SetCell(HWND list, int row, int column, const wchar_t* text) {
  if (!list) return;
  LVITEMW it = {};
  it.iSubItem = column;
  it.pszText = const_cast<wchar_t*>(text);
  SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&it));
}

void SelectRow(HWND list, int row) {
  if (!list) return;
  LVITEMW st = {};
  st.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&st));
  st.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&st));
  SendMessageW(list, LVM_ENSUREVISIBLE, row, FALSE);
}

void OnProgress(const UpdateStatus* status, void* user) {
  auto* s = static_cast<AutoUpdateShared*>(user);
  if (!status || status->amount == 0) return;
  wchar_t text[10];
  if (status->amount <= 10240)
    kl::Format(text, L"%d B", static_cast<int>(status->amount));
  else
    kl::Format(text, L"%d KB", static_cast<int>(status->amount / 1024));
  HWND list = s->items.load();
  if (!list) return;
  const int row = static_cast<int>(
      SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  if (row < 0) return;
  SetCell(list, row, 0, text);
}

void OnMessageLine(const UpdateStatus* status, void* user) {
  auto* s = static_cast<AutoUpdateShared*>(user);
  if (!status || !status->text) return;
  HWND box = s->messages.load();
  if (!box) return;
  const LRESULT index = SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(status->text));
  if (index >= 0) SendMessageW(box, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
  RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

bool SleepUnlessCancelled(const KLIMEUpdate& engine, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (engine.Cancelled()) return false;
    Sleep(50);
  }
  return !engine.Cancelled();
}

void RunCheck(AutoUpdateShared& s) {
  KLIMEUpdate& engine = s.engine;
  wchar_t module[64];
  kl::Format(module, L"%s.kelo.ime", s.name);
  const int inUse = CheckImeInUse(s.dialog.load(), module);
  if (inUse != 0 && inUse != IDOK) return;  // nothing shown, nothing changed
  if (engine.Cancelled()) return;

  if (HWND retry = s.retry.load()) EnableWindow(retry, FALSE);
  int planned = 0;
  if (engine.Init(s.name) && (planned = engine.CheckUpdates()) > 0) {
    const UpdateEntryList& plan = *engine.plan();
    HWND list = s.items.load();
    for (size_t i = 0; i < plan.Count(); ++i) {
      const UpdateEntry* item = plan.At(i);
      const int row = static_cast<int>(i);
      wchar_t text[40];
      InsertRow(list, row, L"-");
      klupdate::VersionToText(item->localVersion, text);
      SetCell(list, row, 1, text);
      klupdate::VersionToText(item->serverVersion, text);
      SetCell(list, row, 2, text);
      SetCell(list, row, 3, klupdate::TypeDisplayName(item->type));
      SetCell(list, row, 4, item->name);
    }
    if (SleepUnlessCancelled(engine, 500)) {
      for (size_t i = 0; i < plan.Count() && !engine.Cancelled(); ++i) {
        UpdateEntry* item = plan.At(i);
        const int row = static_cast<int>(i);
        SelectRow(s.items.load(), row);
        bool ok = true;
        if (item->localVersion < item->serverVersion) ok = engine.UpdateItem(item);
        SetCell(s.items.load(), row, 0, ok ? kDoneText : kFailedText);
      }
    }
    if (!engine.Cancelled() &&
        CompareStringOrdinal(engine.skinDriverName(), -1, L"prismic", -1, TRUE) == CSTR_EQUAL) {
      // Yes: the skin package dialog, run by the dialog's own thread; the
      // check goes on when it closes.
      if (MessageBoxW(s.dialog.load(), L"是否检查服务器上的最新皮肤包？", L"prismic驱动更新",
                      MB_YESNO | MB_ICONQUESTION) == IDYES) {
        // Posted, not sent: the skin dialog and its message boxes then run
        // as a normal modal loop of the dialog's thread.
        ResetEvent(s.skinsClosed.get());
        if (HWND dialog = s.dialog.load(); dialog && PostMessageW(dialog, kOpenSkins, 0, 0)) {
          while (WaitForSingleObject(s.skinsClosed.get(), 100) == WAIT_TIMEOUT)
            if (engine.Cancelled() || !s.dialog.load()) break;
        }
      }
    }
  }
  UpdateStatus done = {L"更新完毕", 0};
  OnMessageLine(&done, &s);
  if (HWND retry = s.retry.load()) EnableWindow(retry, TRUE);
}

DWORD WINAPI WorkerMain(LPVOID param) {
  std::shared_ptr<AutoUpdateShared> s(std::move(*static_cast<std::shared_ptr<AutoUpdateShared>*>(param)));
  delete static_cast<std::shared_ptr<AutoUpdateShared>*>(param);
  RunCheck(*s);
  if (HWND dialog = s->dialog.load()) PostMessageW(dialog, kWorkerDone, 0, 0);
  return 0;
}

}  // namespace

CKL_AutoUpdateDlg::CKL_AutoUpdateDlg()
    : ui::Dialog(IDD_DRIVER_UPDATE), shared_(std::make_shared<AutoUpdateShared>()) {
  icon_ = ui::LoadAppIcon(IDI_SETUP, false);
  smallIcon_ = ui::LoadAppIcon(IDI_SETUP, true);
}

CKL_AutoUpdateDlg::~CKL_AutoUpdateDlg() { StopWorker(); }

void CKL_AutoUpdateDlg::SetName(const wchar_t* imeName) {
  kl::Copy(name_, imeName);
  kl::Copy(shared_->name, name_);
}

void CKL_AutoUpdateDlg::SetDownloadFolder(const wchar_t* folder) {
  kl::Copy(downloadFolder_, folder);
}

BOOL CKL_AutoUpdateDlg::OnInitDialog() {
  SetIcon(icon_);
  SendMessageW(hwnd(), WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon_ ? smallIcon_ : icon_));

  // The caption: "DisplayName" of the uninstall record when it fits 19
  // characters, else the key name.
  wchar_t display[20] = {};
  bool haveDisplay = false;
  {
    wchar_t keyPath[260];
    kl::Format(keyPath, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s", name_);
    ui::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.out()) == ERROR_SUCCESS) {
      DWORD bytes = sizeof display;
      haveDisplay = RegQueryValueExW(key.get(), L"DisplayName", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(display), &bytes) == ERROR_SUCCESS;
      display[19] = 0;
    }
  }
  wchar_t caption[128];
  kl::Format(caption, L"%s - 更新程序", haveDisplay && display[0] ? display : name_);
  SetCaption(caption);
  ShowWindow(hwnd(), SW_SHOW);
  SetIcon(icon_);

  LvInsertColumn(IDC_UPDATE_ITEMS, 0, L"状态", 50);
  LvInsertColumn(IDC_UPDATE_ITEMS, 1, L"本地版本", 80);
  LvInsertColumn(IDC_UPDATE_ITEMS, 2, L"最新版本", 80);
  LvInsertColumn(IDC_UPDATE_ITEMS, 3, L"驱动类型", 80);
  LvInsertColumn(IDC_UPDATE_ITEMS, 4, L"驱动名称", 150);
  LvSetExtendedStyle(IDC_UPDATE_ITEMS, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  SendMessageW(Item(IDC_UPDATE_ITEMS), LVM_SETSELECTEDCOLUMN, 0, 0);

  shared_->dialog.store(hwnd());
  shared_->items.store(Item(IDC_UPDATE_ITEMS));
  shared_->messages.store(Item(IDC_MESSAGE_LIST));
  shared_->retry.store(Item(IDOK));

  if (downloadFolder_[0]) shared_->engine.SetDownloadFolder(downloadFolder_);
  prepared_ = shared_->engine.Prepare({&OnProgress, &OnMessageLine, shared_.get()});
  if (!prepared_) {
    MessageBoxW(hwnd(), L"初始化KLIMEUpdate发生错误", L"", MB_ICONERROR);
    return TRUE;
  }
  StartTimer(kStartTimer, 200);
  return TRUE;
}

void CKL_AutoUpdateDlg::OnTimer(UINT_PTR id) {
  if (id != kStartTimer) return;
  StopTimer(kStartTimer);
  StartCheck();
}

bool CKL_AutoUpdateDlg::OnCommand(int id, int code, HWND control) {
  if (id == IDOK) {
    StartCheck();
    return true;
  }
  return ui::Dialog::OnCommand(id, code, control);
}

void CKL_AutoUpdateDlg::StartCheck() {
  if (busy_ || !shared_ || !hwnd()) return;  // one check at a time
  if (!prepared_) {
    prepared_ = shared_->engine.Prepare({&OnProgress, &OnMessageLine, shared_.get()});
    if (!prepared_) {
      MessageBoxW(hwnd(), L"初始化KLIMEUpdate发生错误", L"", MB_ICONERROR);
      return;
    }
  }
  if (worker_) {  // the previous check has posted its last message; let it return
    WaitForSingleObject(worker_.get(), 5000);
    worker_.reset();
  }
  LbClear(IDC_MESSAGE_LIST);
  LvDeleteAll(IDC_UPDATE_ITEMS);
  busy_ = true;
  auto* param = new std::shared_ptr<AutoUpdateShared>(shared_);
  DWORD id = 0;
  worker_.reset(CreateThread(nullptr, 0, &WorkerMain, param, 0, &id));
  if (!worker_) {
    delete param;
    busy_ = false;
  }
}

bool CKL_AutoUpdateDlg::OnMessage(UINT msg, WPARAM, LPARAM, LRESULT* result) {
  if (msg == kOpenSkins) {
    CKL_SkinZipUpdateDlg skins;
    skins.SetName(name_);
    if (downloadFolder_[0]) skins.SetDownloadFolder(downloadFolder_);
    skins.DoModal(hwnd());
    if (shared_) SetEvent(shared_->skinsClosed.get());
    *result = 0;
    return true;
  }
  if (msg != kWorkerDone) return false;
  busy_ = false;
  Enable(IDOK, true);
  *result = 0;
  return true;
}

void CKL_AutoUpdateDlg::StopWorker() {
  if (!shared_) return;
  // From here on the worker reaches no window, and its transfer is cut.
  shared_->engine.Cancel();
  shared_->dialog.store(nullptr);
  shared_->items.store(nullptr);
  shared_->messages.store(nullptr);
  shared_->retry.store(nullptr);
  if (worker_) {
    // Messages the worker sent before it saw the cleared handles are still
    // answered while we wait (sent messages only; nothing else is dispatched).
    const ULONGLONG end = GetTickCount64() + kStopWaitMs;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      if (now >= end) break;
      HANDLE worker = worker_.get();
      const DWORD r = MsgWaitForMultipleObjects(1, &worker, FALSE,
                                                static_cast<DWORD>(end - now), QS_SENDMESSAGE);
      if (r != WAIT_OBJECT_0 + 1) break;
      MSG m;
      PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    worker_.reset();
  }
  shared_.reset();  // a worker still running keeps its own reference
  busy_ = false;
}

void CKL_AutoUpdateDlg::OnCancel() {
  StopWorker();
  EndDialog(IDCANCEL);
}

void CKL_AutoUpdateDlg::OnDestroy() { StopWorker(); }

bool CKL_AutoUpdateDlg::OnPaint() { return PaintIconWhenMinimised(icon_); }
