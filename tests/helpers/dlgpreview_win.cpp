// dlgpreview SETUP_EXE OUT_FOLDER
// Shows every dialog template of the setup program, filled with typical
// content, and saves each one as a PNG file in OUT_FOLDER (which must exist).
// The templates, icons and the common-controls manifest are taken from
// SETUP_EXE itself, so the pictures show what the product shows.
// Exit code: 0 when every picture was written, 1 otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>

#include "res/resource.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"

// The capture routine of the test support library (helpers link only the
// product's libraries, so its source is compiled in here).
#include "../support/screenshot_win.cpp"

namespace {

const wchar_t kName[] = L"可乐示例输入法";

// A template filled by a callback; draws the wizard's licence link.
class Preview : public ui::Dialog {
 public:
  Preview(int id, std::function<void(Preview&)> fill) : ui::Dialog(id), fill_(std::move(fill)) {}

 protected:
  BOOL OnInitDialog() override {
    if (fill_) fill_(*this);
    return TRUE;
  }
  bool OnDrawItem(int id, DRAWITEMSTRUCT* item) override {
    if (id != IDC_LICENCE_LINK) return false;
    ::FillRect(item->hDC, &item->rcItem, ::GetSysColorBrush(COLOR_BTNFACE));
    ::SetBkMode(item->hDC, TRANSPARENT);
    ::SetTextColor(item->hDC, RGB(0, 0, 255));
    ::TextOutW(item->hDC, 5, 2, L"查看许可协议(L)", 9);
    return true;
  }
  void OnOk() override {}
  void OnCancel() override {}

 private:
  std::function<void(Preview&)> fill_;
};

void Pump(DWORD ms) {
  DWORD end = ::GetTickCount() + ms;
  while (static_cast<LONG>(end - ::GetTickCount()) > 0) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::Sleep(10);
  }
}

std::wstring g_out;
int g_failures = 0;

void Save(HWND hwnd, const wchar_t* file) {
  Pump(400);
  std::wstring path = g_out + L"\\" + file;
  if (CaptureWindowPng(hwnd, path.c_str())) {
    std::fwprintf(stdout, L"wrote %ls\n", path.c_str());
  } else {
    std::fwprintf(stdout, L"FAILED %ls\n", path.c_str());
    ++g_failures;
  }
  std::fflush(stdout);
}

// Creates the template as a top-level window at the screen's top left,
// shows it, saves it and destroys it.
void Shoot(int id, const wchar_t* file, std::function<void(Preview&)> fill) {
  Preview dlg(id, std::move(fill));
  if (!dlg.Create(nullptr)) {
    std::fwprintf(stdout, L"FAILED to create template %d (error %lu)\n", id, ::GetLastError());
    ++g_failures;
    return;
  }
  ::SetWindowPos(dlg.hwnd(), HWND_TOP, 10, 10, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  Save(dlg.hwnd(), file);
  dlg.Destroy();
}

void ProgressLines(Preview& d, const wchar_t* heading, int pos) {
  d.LvInsertColumn(IDC_PROGRESS_LIST, 0, heading, 330);
  d.LvSetExtendedStyle(IDC_PROGRESS_LIST, LVS_EX_FULLROWSELECT);
  const wchar_t* lines[] = {L"正在复制文件: C:\\Program Files\\KeloSample\\KeloSample.kelo.ime",
                            L"正在写入注册表信息……", L"正在注册输入法……", L"正在创建开始菜单快捷方式……",
                            L"安装完成。"};
  for (const wchar_t* line : lines) d.LvAppendRow(IDC_PROGRESS_LIST, line);
  ::SendMessageW(d.Item(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 100);
  ::SendMessageW(d.Item(IDC_PROGRESS_BAR), PBM_SETPOS, pos, 0);
}

// The wizard with one page shown over its frame, the way the wizard does it.
void ShootWizard(int page, const wchar_t* file) {
  Preview progress(IDD_PROGRESS_PAGE, [](Preview& d) { ProgressLines(d, L"安装详细信息", 60); });
  Preview user(IDD_USER_PAGE, [](Preview& d) {
    d.SetItemText(IDC_OWNER, L"张三");
    d.SetItemText(IDC_COMPANY, L"可乐软件有限公司");
  });
  Preview dir(IDD_DIR_PAGE, [](Preview& d) {
    d.SetItemText(IDC_INSTALL_DIR, L"C:\\Program Files\\KeloSample\\");
  });
  Preview wizard(IDD_WIZARD, [&](Preview& d) {
    d.SetIcon(ui::LoadAppIcon(IDI_SETUP, false));
    std::wstring caption = std::wstring(L"欢迎使用 ") + kName + L" 安装程序";
    d.SetCaption(caption.c_str());
    d.CheckRadio(IDC_ACCEPT, IDC_DECLINE, page == 2 ? IDC_ACCEPT : IDC_DECLINE);
    d.SetItemText(IDOK, page == 2 ? L"完成安装(&O)" : L"立即安装(&S)");
    d.Enable(IDOK, page == 2);
    RECT frame = d.ItemRect(IDC_PAGE_FRAME);
    for (Preview* p : {&progress, &user, &dir}) {
      p->Create(d.hwnd());
      p->MoveTo(frame, false);
    }
    HWND tabs = d.Item(IDC_TABS);
    ::SendMessageW(tabs, TCM_SETITEMSIZE, 0, MAKELPARAM(100, 30));
    const wchar_t* names[] = {L"安装目录", L"用户信息"};
    for (int i = 0; i < 2; ++i) {
      TCITEMW item = {};
      item.mask = TCIF_TEXT | TCIF_IMAGE;
      item.pszText = const_cast<wchar_t*>(names[i]);
      ::SendMessageW(tabs, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    ::SendMessageW(tabs, TCM_SETMINTABWIDTH, 0, 100);
    ::SendMessageW(tabs, TCM_SETCURSEL, page == 1 ? 1 : 0, 0);
    dir.SetVisible(page == 0);
    user.SetVisible(page == 1);
    progress.SetVisible(page == 2);
    if (page == 2) {
      d.Show(IDC_LICENCE_LINK, false);
      d.Show(IDC_ACCEPT, false);
      d.Show(IDC_DECLINE, false);
    }
  });
  if (!wizard.Create(nullptr)) {
    std::fwprintf(stdout, L"FAILED to create the wizard (error %lu)\n", ::GetLastError());
    ++g_failures;
    return;
  }
  ::SetWindowPos(wizard.hwnd(), HWND_TOP, 10, 10, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  Save(wizard.hwnd(), file);
  wizard.Destroy();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fwprintf(stderr, L"usage: dlgpreview SETUP_EXE OUT_FOLDER\n");
    return 2;
  }
  g_out = argv[2];
  ui::Module setup(::LoadLibraryExW(argv[1], nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!setup) {
    std::fwprintf(stderr, L"cannot load %ls (error %lu)\n", argv[1], ::GetLastError());
    return 1;
  }
  ui::SetTemplateModule(setup.get());

  // The product's common-controls v6 manifest, from its own resources.
  ACTCTXW actx = {};
  actx.cbSize = sizeof(actx);
  actx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  actx.lpSource = argv[1];
  actx.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE context = ::CreateActCtxW(&actx);
  ULONG_PTR cookie = 0;
  if (context != INVALID_HANDLE_VALUE) ::ActivateActCtx(context, &cookie);
  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
  ::InitCommonControlsEx(&icc);

  ShootWizard(0, L"138-wizard-dir.png");
  ShootWizard(1, L"138-wizard-user.png");
  ShootWizard(2, L"138-wizard-progress.png");

  Shoot(IDD_LICENCE, L"136-licence.png", [](Preview& d) {
    std::wstring caption = std::wstring(kName) + L" - 最终用户许可协议";
    d.SetCaption(caption.c_str());
  });
  Shoot(IDD_UNINSTALL, L"133-uninstall.png", [](Preview& d) {
    d.SetIcon(ui::LoadAppIcon(IDI_SETUP, false));
    std::wstring caption = std::wstring(kName) + L" - 卸载程序";
    d.SetCaption(caption.c_str());
    ProgressLines(d, L"卸载详细信息", 100);
    d.SetItemText(IDOK, L"完成(&O)");
  });
  Shoot(IDD_REPAIR, L"137-repair.png", [](Preview& d) {
    d.SetIcon(ui::LoadAppIcon(IDI_SETUP, false));
    std::wstring caption = std::wstring(kName) + L" - 修复程序";
    d.SetCaption(caption.c_str());
    ProgressLines(d, L"安装详细信息", 40);
    d.SetItemText(IDOK, L"修复(&R)");
  });
  Shoot(IDD_IME_IN_USE, L"140-ime-in-use.png", [](Preview& d) {
    d.SetIcon(::LoadIconW(nullptr, IDI_WARNING));
    d.LbAdd(IDC_PROCESS_LIST, L"进程ID: 1234    进程名称: notepad.exe");
    d.LbAdd(IDC_PROCESS_LIST, L"进程ID: 88    进程名称: 记事本.exe");
  });
  Shoot(IDD_DRIVER_UPDATE, L"139-driver-update.png", [](Preview& d) {
    d.SetIcon(ui::LoadAppIcon(IDI_SETUP, false));
    std::wstring caption = std::wstring(kName) + L" - 更新程序";
    d.SetCaption(caption.c_str());
    const wchar_t* heads[] = {L"状态", L"本地版本", L"最新版本", L"驱动类型", L"驱动名称"};
    const int widths[] = {50, 80, 80, 80, 150};
    for (int i = 0; i < 5; ++i) d.LvInsertColumn(IDC_UPDATE_ITEMS, i, heads[i], widths[i]);
    d.LvSetExtendedStyle(IDC_UPDATE_ITEMS, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    int row = d.LvAppendRow(IDC_UPDATE_ITEMS, L"完成");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 1, L"1.0.0.1");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 2, L"1.0.0.2");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 3, L"输入法驱动");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 4, L"KeloSample.kelo.ime");
    row = d.LvAppendRow(IDC_UPDATE_ITEMS, L"19 KB");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 1, L"2.1.0.0");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 2, L"2.2.0.0");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 3, L"皮肤驱动");
    d.LvSetCell(IDC_UPDATE_ITEMS, row, 4, L"prismic.dll");
    d.LvSelectRow(IDC_UPDATE_ITEMS, row);
    d.LbAdd(IDC_MESSAGE_LIST, L"开始Kelo驱动程序更新：");
    d.LbAdd(IDC_MESSAGE_LIST, L"更新：KeloSample.kelo.ime");
    d.LbAdd(IDC_MESSAGE_LIST, L"更新完毕");
  });
  Shoot(IDD_SKIN_UPDATE, L"141-skin-update.png", [](Preview& d) {
    d.LvInsertColumn(IDC_SKIN_LIST, 0, L"皮肤名称", 150);
    d.LvInsertColumn(IDC_SKIN_LIST, 1, L"最新版本", 100);
    d.LvInsertColumn(IDC_SKIN_LIST, 2, L"----", 100);
    d.LvSetExtendedStyle(IDC_SKIN_LIST, LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES | LVS_EX_DOUBLEBUFFER);
    const wchar_t* names[] = {L"Alpha", L"水墨江南", L"Gamma"};
    for (int i = 0; i < 3; ++i) {
      int row = d.LvAppendRow(IDC_SKIN_LIST, names[i]);
      d.LvSetCell(IDC_SKIN_LIST, row, 1, L"1.2.0.0");
      d.LvSetCell(IDC_SKIN_LIST, row, 2, i == 1 ? L"9000 B" : L"-");
    }
    d.LvSelectRow(IDC_SKIN_LIST, 1);
  });
  Shoot(IDD_PNG_PREVIEW, L"142-png-preview.png", [](Preview& d) {
    ::SetWindowPos(d.hwnd(), nullptr, 0, 0, 100, 105, SWP_NOMOVE | SWP_NOZORDER);
  });

  if (cookie) ::DeactivateActCtx(0, cookie);
  if (context != INVALID_HANDLE_VALUE) ::ReleaseActCtx(context);
  ui::SetTemplateModule(nullptr);
  return g_failures == 0 ? 0 : 1;
}
