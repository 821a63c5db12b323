#include "update/skin_dlg_win.h"

#include <commctrl.h>

#include "base/format_win.h"
#include "install/install_record_win.h"

namespace {

constexpr UINT_PTR kStartTimer = 100;
constexpr wchar_t kBusyText[] = L"更新进程正在运行，请稍候重试！";
constexpr wchar_t kBusyCaption[] = L"请稍候...";

}  // namespace

CKL_SkinZipUpdateDlg::CKL_SkinZipUpdateDlg() : ui::Dialog(IDD_SKIN_UPDATE) {}

CKL_SkinZipUpdateDlg::~CKL_SkinZipUpdateDlg() { WaitForWorker(); }

void CKL_SkinZipUpdateDlg::SetName(const wchar_t* imeName) { kl::Copy(name_, imeName); }

void CKL_SkinZipUpdateDlg::SetDownloadFolder(const wchar_t* folder) {
  kl::Copy(downloadFolder_, folder);
}

BOOL CKL_SkinZipUpdateDlg::OnInitDialog() {
  lastShownRow_ = -1;
  preview_.Create(hwnd());  // hidden until a picture is shown

  LvInsertColumn(IDC_SKIN_LIST, 0, L"皮肤名称", 150);
  LvInsertColumn(IDC_SKIN_LIST, 1, L"最新版本", 100);
  LvInsertColumn(IDC_SKIN_LIST, 2, L"----", 100);
  LvSetExtendedStyle(IDC_SKIN_LIST,
                     LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES | LVS_EX_DOUBLEBUFFER);
  SendMessageW(Item(IDC_SKIN_LIST), LVM_SETSELECTEDCOLUMN, 0, 0);

  if (downloadFolder_[0]) engine_.SetDownloadFolder(downloadFolder_);
  // Engine messages go nowhere; byte counts go into the list.
  if (!engine_.Prepare({&OnProgress, nullptr, this})) {
    MessageBoxW(hwnd(), L"初始化KLIMEUpdate发生错误", L"", MB_ICONERROR);
    return TRUE;
  }
  StartTimer(kStartTimer, 10);
  return TRUE;
}

void CKL_SkinZipUpdateDlg::OnTimer(UINT_PTR id) {
  StopTimer(id);
  if (id != kStartTimer || worker_) return;
  // Busy from here, so that Install and Cancel are refused before the
  // worker's first step runs.
  idle_.store(false);
  Enable(IDOK, false);
  worker_.reset(CreateThread(nullptr, 0, &WorkerMain, this, 0, nullptr));
  if (!worker_) {
    idle_.store(true);
    Enable(IDOK, true);
  }
}

DWORD WINAPI CKL_SkinZipUpdateDlg::WorkerMain(LPVOID param) {
  static_cast<CKL_SkinZipUpdateDlg*>(param)->RunWorker();
  return 0;
}

// The worker reaches the dialog's controls only through sent messages; the
// dialog cannot close before it ends (Cancel is refused until then).
void CKL_SkinZipUpdateDlg::RunWorker() {
  Enable(IDOK, false);
  idle_.store(false);
  if (engine_.Init(name_) && engine_.CheckUpdates()) {
    const UpdateEntryList& plan = *engine_.plan();
    for (size_t i = 0; i < plan.Count(); ++i) {
      const UpdateEntry* item = plan.At(i);
      const int row = static_cast<int>(i);
      wchar_t version[40];
      klupdate::VersionToText(item->serverVersion, version);
      LvInsertRow(IDC_SKIN_LIST, row, L"-");
      LvSetCell(IDC_SKIN_LIST, row, 0, item->name);
      LvSetCell(IDC_SKIN_LIST, row, 1, version);
    }
    Sleep(500);
    for (size_t i = 0; i < plan.Count() && !engine_.Cancelled(); ++i) {
      LvSelectRow(IDC_SKIN_LIST, static_cast<int>(i));
      engine_.UpdateItem(plan.At(i));  // a failed row stays; installing it asks to retry
    }
  }
  idle_.store(true);
  Enable(IDOK, true);
}

void CKL_SkinZipUpdateDlg::OnProgress(const UpdateStatus* status, void* user) {
  auto* self = static_cast<CKL_SkinZipUpdateDlg*>(user);
  if (!status || status->amount == 0 || !self->hwnd()) return;
  wchar_t text[10];
  if (status->amount <= 10240)
    kl::Format(text, L"%d B", static_cast<int>(status->amount));
  else
    kl::Format(text, L"%d KB", static_cast<int>(status->amount / 1024));
  const int row = self->LvSelectedRow(IDC_SKIN_LIST);
  if (row < 0) return;
  self->LvSetCell(IDC_SKIN_LIST, row, 2, text);
}

bool CKL_SkinZipUpdateDlg::RefuseWhileBusy() {
  if (idle_.load()) return false;
  MessageBoxW(hwnd(), kBusyText, kBusyCaption, MB_ICONERROR);
  return true;
}

void CKL_SkinZipUpdateDlg::OnOk() {
  if (RefuseWhileBusy()) return;
  const UpdateEntryList* plan = engine_.plan();
  const int rows = LvRowCount(IDC_SKIN_LIST);
  for (int row = 0; row < rows; ++row) {
    if (!LvIsRowChecked(IDC_SKIN_LIST, row)) continue;
    const UpdateEntry* item = plan ? plan->At(static_cast<size_t>(row)) : nullptr;
    if (!item || !IsUsableSkinName(item->name)) continue;
    wchar_t package[260];
    if (!kl::Format(package, L"%s%s.zip", engine_.tempDir(), item->name)) continue;
    bool copied;
    while (!(copied = CopyFileW(package, item->path, FALSE) != 0)) {
      if (MessageBoxW(hwnd(), L"替换目标文件失败，是否重试？", L"皮肤包更新错误",
                      MB_YESNO | MB_ICONERROR) != IDYES)
        break;
    }
    // The uninstall removes the skin package with the product's files.
    if (copied) AddToRemovalRecord(engine_.imeName(), item->path);
  }
  EndDialog(IDOK);
}

void CKL_SkinZipUpdateDlg::OnCancel() {
  if (RefuseWhileBusy()) return;
  EndDialog(IDCANCEL);
}

bool CKL_SkinZipUpdateDlg::OnNotify(NMHDR* header, LRESULT* result) {
  if (!header || header->idFrom != IDC_SKIN_LIST) return false;
  if (header->code == NM_CLICK) {
    *result = 0;
    return true;
  }
  if (header->code != LVN_ITEMCHANGED) return false;
  const auto* change = reinterpret_cast<const NMLISTVIEW*>(header);
  const int row = change->iItem;
  const UpdateEntryList* plan = engine_.plan();
  if (row >= 0 && row != lastShownRow_ && plan && plan->At(static_cast<size_t>(row))) {
    wchar_t picture[260];
    if (kl::Format(picture, L"%s%s.png", engine_.tempDir(),
                   plan->At(static_cast<size_t>(row))->name))
      preview_.ShowPicture(picture);
    lastShownRow_ = row;
  }
  *result = 0;
  return true;
}

void CKL_SkinZipUpdateDlg::WaitForWorker() {
  if (!worker_) return;
  engine_.Cancel();
  // Answer the worker's sent messages while it finishes.
  const ULONGLONG end = GetTickCount64() + 15000;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    HANDLE worker = worker_.get();
    const DWORD r = MsgWaitForMultipleObjects(1, &worker, FALSE, static_cast<DWORD>(end - now),
                                              QS_SENDMESSAGE);
    if (r != WAIT_OBJECT_0 + 1) break;
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  worker_.reset();
}

void CKL_SkinZipUpdateDlg::OnDestroy() {
  WaitForWorker();
  preview_.Destroy();
}
