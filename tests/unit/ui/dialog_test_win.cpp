// The dialog framework against the product's own templates (setup.exe of the
// same build, loaded as a resource file), run under Wine.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "res/resource.h"
#include "ui/dialog_win.h"
#include "ui/owners_win.h"

namespace {

ui::Module g_setup;

class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
    ::InitCommonControlsEx(&icc);
    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\') --n;
    path[n] = L'\0';
    std::wstring exe = std::wstring(path) + L"setup.exe";
    g_setup.reset(::LoadLibraryExW(exe.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ui::SetTemplateModule(g_setup.get());
  }
  static void TearDownTestSuite() {
    ui::SetTemplateModule(nullptr);
    g_setup.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(g_setup.valid()) << "setup.exe (the templates) must be built next to this test";
  }
};

// A dialog whose handlers are set by each test.
class Probe : public ui::Dialog {
 public:
  explicit Probe(int id) : ui::Dialog(id) {}
  std::function<void(Probe&)> init;
  std::function<void(Probe&, UINT_PTR)> timer;
  std::function<bool(Probe&, int, int)> command;
  std::function<bool(Probe&, UINT, WPARAM, LPARAM, LRESULT*)> message;
  int drawn = 0;
  int lastCommand = 0;
  bool closed = false;

 protected:
  BOOL OnInitDialog() override {
    if (init) init(*this);
    return TRUE;
  }
  void OnTimer(UINT_PTR id) override {
    if (timer) timer(*this, id);
  }
  bool OnCommand(int id, int code, HWND control) override {
    lastCommand = id;
    if (command && command(*this, id, code)) return true;
    return ui::Dialog::OnCommand(id, code, control);
  }
  bool OnNotify(NMHDR* header, LRESULT* result) override {
    if (header->code != static_cast<UINT>(TCN_SELCHANGE)) return false;
    *result = 77;
    return true;
  }
  bool OnDrawItem(int id, DRAWITEMSTRUCT*) override {
    if (id == IDC_LICENCE_LINK) ++drawn;
    return id == IDC_LICENCE_LINK;
  }
  bool OnSetCursor(HWND over, int, int) override {
    return ::GetDlgCtrlID(over) == IDC_LICENCE_LINK;
  }
  HICON OnQueryDragIcon() override { return ::LoadIconW(nullptr, IDI_WARNING); }
  void OnDestroy() override { closed = true; }
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override {
    return message && message(*this, msg, wp, lp, result);
  }
};

TEST_F(DialogTest, ModalEndsWithTheResultGivenFromAOneShotTimer) {
  Probe dlg(IDD_UNINSTALL);
  int ticks = 0;
  dlg.init = [](Probe& d) { EXPECT_TRUE(d.StartTimer(5, 20)); };
  dlg.timer = [&](Probe& d, UINT_PTR id) {
    EXPECT_EQ(5u, id);
    d.StopTimer(id);
    ++ticks;
    d.EndDialog(42);
  };
  EXPECT_EQ(42, dlg.DoModal(nullptr));
  EXPECT_EQ(1, ticks);
  EXPECT_TRUE(dlg.closed);
  EXPECT_EQ(nullptr, dlg.hwnd());
}

TEST_F(DialogTest, MissingTemplateIsAnErrorNotACrash) {
  Probe modal(9999);
  EXPECT_EQ(-1, modal.DoModal(nullptr));
  Probe page(9999);
  EXPECT_EQ(nullptr, page.Create(nullptr));
  EXPECT_EQ(nullptr, page.hwnd());
  page.Destroy();  // nothing open: no effect
  EXPECT_EQ(L"", page.ItemText(IDOK));
}

TEST_F(DialogTest, CommandsReachTheHandlerAndOkCancelEndTheDialog) {
  Probe dlg(IDD_IME_IN_USE);
  int custom = 0;
  dlg.init = [](Probe& d) { ::PostMessageW(d.Item(IDC_END_PROCESSES), BM_CLICK, 0, 0); };
  dlg.command = [&](Probe& d, int id, int code) {
    if (id != IDC_END_PROCESSES) return false;
    EXPECT_EQ(BN_CLICKED, code);
    ++custom;
    ::PostMessageW(d.Item(IDCANCEL), BM_CLICK, 0, 0);  // "取　消(&C)"
    return true;
  };
  EXPECT_EQ(IDCANCEL, dlg.DoModal(nullptr));
  EXPECT_EQ(1, custom);
  EXPECT_EQ(IDCANCEL, dlg.lastCommand);

  Probe ok(IDD_UNINSTALL);
  ok.init = [](Probe& d) { ::PostMessageW(d.Item(IDOK), BM_CLICK, 0, 0); };
  EXPECT_EQ(IDOK, ok.DoModal(nullptr));

  Probe close(IDD_REPAIR);
  close.init = [](Probe& d) { ::PostMessageW(d.hwnd(), WM_CLOSE, 0, 0); };
  EXPECT_EQ(IDCANCEL, close.DoModal(nullptr));
}

TEST_F(DialogTest, ResultsOfNotifySetCursorDragIconAndDrawItemReachTheSender) {
  Probe dlg(IDD_WIZARD);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  NMHDR nm = {dlg.Item(IDC_TABS), static_cast<UINT_PTR>(IDC_TABS), static_cast<UINT>(TCN_SELCHANGE)};
  EXPECT_EQ(77, ::SendMessageW(dlg.hwnd(), WM_NOTIFY, IDC_TABS, reinterpret_cast<LPARAM>(&nm)));
  EXPECT_EQ(TRUE, ::SendMessageW(dlg.hwnd(), WM_SETCURSOR,
                                 reinterpret_cast<WPARAM>(dlg.Item(IDC_LICENCE_LINK)),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
  EXPECT_EQ(reinterpret_cast<LRESULT>(::LoadIconW(nullptr, IDI_WARNING)),
            ::SendMessageW(dlg.hwnd(), WM_QUERYDRAGICON, 0, 0));
  dlg.SetVisible(true);
  ::UpdateWindow(dlg.hwnd());
  EXPECT_GE(dlg.drawn, 1) << "the owner-drawn licence link is drawn by the dialog";
  dlg.Destroy();
  EXPECT_TRUE(dlg.closed);
  EXPECT_EQ(nullptr, dlg.hwnd());
}

TEST_F(DialogTest, ChildPageLivesInItsParentsFrame) {
  Probe wizard(IDD_WIZARD);
  ASSERT_NE(nullptr, wizard.Create(nullptr));
  Probe page(IDD_PROGRESS_PAGE);
  ASSERT_NE(nullptr, page.Create(wizard.hwnd()));
  EXPECT_TRUE(::IsChild(wizard.hwnd(), page.hwnd()));
  EXPECT_TRUE(::GetWindowLongW(page.hwnd(), GWL_STYLE) & WS_CHILD);
  EXPECT_FALSE(::GetWindowLongW(page.hwnd(), GWL_STYLE) & WS_CAPTION);
  RECT frame = wizard.ItemRect(IDC_PAGE_FRAME);
  EXPECT_GT(frame.right - frame.left, 0);
  page.MoveTo(frame, false);
  RECT placed;
  ::GetWindowRect(page.hwnd(), &placed);
  ::MapWindowPoints(nullptr, wizard.hwnd(), reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_TRUE(::EqualRect(&frame, &placed));
  // Page controls are the page's, not the parent's.
  EXPECT_NE(nullptr, page.Item(IDC_PROGRESS_BAR));
  EXPECT_EQ(nullptr, wizard.Item(IDC_PROGRESS_BAR));
  // The parent takes its pages with it.
  wizard.Destroy();
  EXPECT_EQ(nullptr, page.hwnd());
  EXPECT_TRUE(page.closed);
}

TEST_F(DialogTest, ListViewRowsAndCellsReadBack) {
  Probe dlg(IDD_DRIVER_UPDATE);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  const int list = IDC_UPDATE_ITEMS;
  EXPECT_EQ(0, dlg.LvInsertColumn(list, 0, L"状态", 50));
  EXPECT_EQ(1, dlg.LvInsertColumn(list, 1, L"驱动名称", 150));
  dlg.LvSetExtendedStyle(list, LVS_EX_FULLROWSELECT);
  dlg.LvSetExtendedStyle(list, LVS_EX_DOUBLEBUFFER);  // adds, keeps the first
  DWORD ex = static_cast<DWORD>(::SendMessageW(dlg.Item(list), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER),
            ex & (LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER));
  EXPECT_EQ(0, dlg.LvAppendRow(list, L"-"));
  EXPECT_EQ(1, dlg.LvAppendRow(list, L"完成"));
  EXPECT_EQ(0, dlg.LvInsertRow(list, 0, L"失败"));
  EXPECT_TRUE(dlg.LvSetCell(list, 2, 1, L"KeloSample.kelo.ime"));
  EXPECT_EQ(3, dlg.LvRowCount(list));
  EXPECT_EQ(L"失败", dlg.LvCellText(list, 0, 0));
  EXPECT_EQ(L"-", dlg.LvCellText(list, 1, 0));
  EXPECT_EQ(L"KeloSample.kelo.ime", dlg.LvCellText(list, 2, 1));
  // A long cell comes back whole; a small buffer gets it cut and terminated.
  std::wstring longText(700, L'字');
  EXPECT_TRUE(dlg.LvSetCell(list, 1, 1, longText.c_str()));
  EXPECT_EQ(longText, dlg.LvCellText(list, 1, 1));
  wchar_t small[5];
  EXPECT_EQ(4u, dlg.LvCellText(list, 2, 1, small, 5));
  EXPECT_STREQ(L"Kelo", small);
  EXPECT_EQ(-1, dlg.LvSelectedRow(list));
  dlg.LvSelectRow(list, 1);
  dlg.LvSelectRow(list, 2);
  EXPECT_EQ(2, dlg.LvSelectedRow(list));
  EXPECT_EQ(-1, static_cast<int>(::SendMessageW(dlg.Item(list), LVM_GETNEXTITEM, 2, LVNI_SELECTED)));
  dlg.LvDeleteAll(list);
  EXPECT_EQ(0, dlg.LvRowCount(list));
  EXPECT_EQ(L"", dlg.LvCellText(list, 0, 0));
  dlg.Destroy();
}

TEST_F(DialogTest, CheckBoxListReportsCheckedRows) {
  Probe dlg(IDD_SKIN_UPDATE);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  dlg.LvInsertColumn(IDC_SKIN_LIST, 0, L"皮肤名称", 150);
  dlg.LvSetExtendedStyle(IDC_SKIN_LIST, LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES);
  dlg.LvAppendRow(IDC_SKIN_LIST, L"Alpha");
  dlg.LvAppendRow(IDC_SKIN_LIST, L"Beta");
  LVITEMW item = {};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(2);
  ::SendMessageW(dlg.Item(IDC_SKIN_LIST), LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&item));
  EXPECT_FALSE(dlg.LvIsRowChecked(IDC_SKIN_LIST, 0));
  EXPECT_TRUE(dlg.LvIsRowChecked(IDC_SKIN_LIST, 1));
  dlg.Destroy();
}

TEST_F(DialogTest, ListBoxLinesReadBackInSortedOrder) {
  Probe dlg(IDD_IME_IN_USE);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  const int list = IDC_PROCESS_LIST;
  EXPECT_GE(dlg.LbAdd(list, L"进程ID: 2    进程名称: b.exe"), 0);
  EXPECT_GE(dlg.LbAdd(list, L"进程ID: 1    进程名称: a.exe"), 0);
  EXPECT_EQ(2, dlg.LbCount(list));
  EXPECT_EQ(L"进程ID: 1    进程名称: a.exe", dlg.LbLine(list, 0));  // the list sorts
  EXPECT_EQ(L"进程ID: 2    进程名称: b.exe", dlg.LbLine(list, 1));
  EXPECT_EQ(L"", dlg.LbLine(list, 2));
  dlg.LbClear(list);
  EXPECT_EQ(0, dlg.LbCount(list));
  EXPECT_EQ(0, dlg.LbCount(4242));  // no such control
  dlg.Destroy();
}

TEST_F(DialogTest, TextEnableShowAndRadioHelpers) {
  Probe dlg(IDD_WIZARD);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  EXPECT_EQ(L"安装", dlg.ItemText(IDOK));
  EXPECT_TRUE(dlg.SetItemText(IDOK, L"立即安装(&S)"));
  wchar_t caption[20];
  EXPECT_EQ(8u, dlg.GetItemText(IDOK, caption));
  EXPECT_STREQ(L"立即安装(&S)", caption);
  wchar_t cut[4];
  dlg.GetItemText(IDOK, cut);
  EXPECT_STREQ(L"立即安", cut);
  wchar_t none[8] = L"junk";
  EXPECT_EQ(0u, dlg.GetItemText(4242, none));
  EXPECT_STREQ(L"", none);

  dlg.Enable(IDOK, false);
  EXPECT_FALSE(::IsWindowEnabled(dlg.Item(IDOK)));
  dlg.Enable(IDOK, true);
  EXPECT_TRUE(::IsWindowEnabled(dlg.Item(IDOK)));
  dlg.SetVisible(true);
  dlg.Show(IDC_ACCEPT, false);
  EXPECT_FALSE(::IsWindowVisible(dlg.Item(IDC_ACCEPT)));
  dlg.Show(IDC_ACCEPT, true);
  EXPECT_TRUE(::IsWindowVisible(dlg.Item(IDC_ACCEPT)));

  dlg.CheckRadio(IDC_ACCEPT, IDC_DECLINE, IDC_DECLINE);
  EXPECT_TRUE(dlg.IsChecked(IDC_DECLINE));
  EXPECT_FALSE(dlg.IsChecked(IDC_ACCEPT));
  dlg.CheckRadio(IDC_ACCEPT, IDC_DECLINE, IDC_ACCEPT);
  EXPECT_TRUE(dlg.IsChecked(IDC_ACCEPT));
  EXPECT_FALSE(dlg.IsChecked(IDC_DECLINE));
  dlg.Destroy();
}

TEST_F(DialogTest, ReplaceItemKeepsIdAndRectangle) {
  Probe dlg(IDD_LICENCE);
  ASSERT_NE(nullptr, dlg.Create(nullptr));
  RECT before = dlg.ItemRect(IDC_BROWSER);
  HWND old = dlg.Item(IDC_BROWSER);
  HWND fresh = dlg.ReplaceItem(IDC_BROWSER, L"Edit", L"licence", WS_VISIBLE | WS_BORDER);
  ASSERT_NE(nullptr, fresh);
  EXPECT_FALSE(::IsWindow(old));
  EXPECT_EQ(fresh, dlg.Item(IDC_BROWSER));
  RECT after = dlg.ItemRect(IDC_BROWSER);
  EXPECT_TRUE(::EqualRect(&before, &after));
  EXPECT_EQ(L"licence", dlg.ItemText(IDC_BROWSER));
  // An unknown class keeps the control that is there.
  EXPECT_EQ(nullptr, dlg.ReplaceItem(IDC_BROWSER, L"NoSuchClassKL", L"", WS_VISIBLE));
  EXPECT_EQ(fresh, dlg.Item(IDC_BROWSER));
  dlg.Destroy();
}

struct WorkerShared {
  Probe* dlg;
  int lines;
  int rows;
};

DWORD WINAPI FillFromWorker(void* p) {
  auto* s = static_cast<WorkerShared*>(p);
  for (int i = 0; i < 40; ++i) {
    s->dlg->LbAdd(IDC_MESSAGE_LIST, L"更新完毕");
    s->dlg->LvAppendRow(IDC_UPDATE_ITEMS, L"-");
  }
  s->dlg->Enable(IDOK, false);
  s->lines = s->dlg->LbCount(IDC_MESSAGE_LIST);
  s->rows = s->dlg->LvRowCount(IDC_UPDATE_ITEMS);
  ::PostMessageW(s->dlg->hwnd(), WM_APP, 0, 0);
  return 0;
}

// A worker changes controls with sent messages while the modal loop pumps.
TEST_F(DialogTest, WorkerThreadReachesControlsWhileTheDialogPumps) {
  WorkerShared shared = {nullptr, 0, 0};
  Probe dlg(IDD_DRIVER_UPDATE);
  shared.dlg = &dlg;
  dlg.init = [&](Probe& d) {
    d.LvInsertColumn(IDC_UPDATE_ITEMS, 0, L"状态", 50);
    ui::Handle thread(::CreateThread(nullptr, 0, &FillFromWorker, &shared, 0, nullptr));
    EXPECT_TRUE(thread.valid());
  };
  dlg.message = [](Probe& d, UINT msg, WPARAM, LPARAM, LRESULT*) {
    if (msg != WM_APP) return false;
    d.EndDialog(::IsWindowEnabled(d.Item(IDOK)) ? 0 : d.LbCount(IDC_MESSAGE_LIST));
    return true;
  };
  EXPECT_EQ(40, dlg.DoModal(nullptr));
  EXPECT_EQ(40, shared.lines);
  EXPECT_EQ(40, shared.rows);
}

// ---- the templates themselves ---------------------------------------------

// One control of an extended dialog template, as written in the resource
// (the running window's styles differ: the dialog manager turns WS_BORDER
// into a client edge, list boxes drop an unneeded scroll bar).
struct TemplateItem {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  bool found = false;
};

const WORD* SkipSzOrOrd(const WORD* p) {
  if (*p == 0xFFFF) return p + 2;
  while (*p) ++p;
  return p + 1;
}

struct TemplateInfo {
  DWORD style = 0;
  short cx = 0, cy = 0;
  std::wstring font;
  WORD pointSize = 0;
  bool ok = false;
};

TemplateInfo ReadTemplate(int templateId, int itemId, TemplateItem* item) {
  TemplateInfo info;
  HRSRC res = ::FindResourceW(ui::TemplateModule(), MAKEINTRESOURCEW(templateId), RT_DIALOG);
  if (!res) return info;
  const BYTE* base = static_cast<const BYTE*>(::LockResource(::LoadResource(ui::TemplateModule(), res)));
  if (!base) return info;
  const WORD* p = reinterpret_cast<const WORD*>(base);
  if (p[0] != 1 || p[1] != 0xFFFF) return info;  // DIALOGEX only
  const BYTE* b = base + 4 + 4;                    // dlgVer, signature, helpID
  info.style = *reinterpret_cast<const DWORD*>(b + 4);
  WORD count = *reinterpret_cast<const WORD*>(b + 8);
  const short* xy = reinterpret_cast<const short*>(b + 10);
  info.cx = xy[2];
  info.cy = xy[3];
  p = reinterpret_cast<const WORD*>(b + 18);
  p = SkipSzOrOrd(p);  // menu
  p = SkipSzOrOrd(p);  // class
  p = SkipSzOrOrd(p);  // title
  if (info.style & DS_SETFONT) {
    info.pointSize = p[0];
    p += 3;  // point size, weight, italic + charset
    info.font = reinterpret_cast<const wchar_t*>(p);
    p = SkipSzOrOrd(p);
  }
  for (WORD i = 0; i < count; ++i) {
    const BYTE* q = reinterpret_cast<const BYTE*>(
        (reinterpret_cast<uintptr_t>(p) + 3) & ~static_cast<uintptr_t>(3));
    TemplateItem t;
    t.exStyle = *reinterpret_cast<const DWORD*>(q + 4);
    t.style = *reinterpret_cast<const DWORD*>(q + 8);
    const short* r = reinterpret_cast<const short*>(q + 12);
    t.x = r[0], t.y = r[1], t.cx = r[2], t.cy = r[3];
    int id = static_cast<int>(*reinterpret_cast<const DWORD*>(q + 20));
    p = reinterpret_cast<const WORD*>(q + 24);
    p = SkipSzOrOrd(p);  // class
    p = SkipSzOrOrd(p);  // title
    WORD extra = *p++;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    if (item && id == itemId && !item->found) {
      *item = t;
      item->found = true;
    }
  }
  info.ok = true;
  return info;
}

struct Expected {
  int id;
  const wchar_t* cls;
  DWORD style;  // bits that must be set
  const wchar_t* text;  // null: not checked
};

void ExpectControls(int templateId, std::initializer_list<Expected> controls) {
  SCOPED_TRACE(templateId);
  Probe dlg(templateId);
  HWND parent = nullptr;
  Probe host(IDD_WIZARD);
  if (templateId == IDD_PROGRESS_PAGE || templateId == IDD_DIR_PAGE || templateId == IDD_USER_PAGE) {
    ASSERT_NE(nullptr, host.Create(nullptr));
    parent = host.hwnd();
  }
  ASSERT_NE(nullptr, dlg.Create(parent));
  for (const Expected& c : controls) {
    HWND h = dlg.Item(c.id);
    ASSERT_NE(nullptr, h) << "control " << c.id;
    wchar_t cls[64] = L"";
    ::GetClassNameW(h, cls, 64);
    EXPECT_EQ(0, lstrcmpiW(c.cls, cls)) << "control " << c.id;
    TemplateItem item;
    ASSERT_TRUE(ReadTemplate(templateId, c.id, &item).ok);
    ASSERT_TRUE(item.found) << "control " << c.id;
    EXPECT_EQ(c.style, item.style & c.style) << "control " << c.id;
    if (c.text) {
      EXPECT_EQ(std::wstring(c.text), dlg.ItemText(c.id)) << "control " << c.id;
    }
  }
  dlg.Destroy();
  host.Destroy();
}

TEST_F(DialogTest, TemplatesHoldTheControlsTheDialogsUse) {
  ExpectControls(IDD_WIZARD, {{IDC_TABS, L"SysTabControl32", TCS_FIXEDWIDTH, nullptr},
                              {IDC_DECLINE, L"Button", BS_AUTORADIOBUTTON, L"拒绝协议"},
                              {IDC_ACCEPT, L"Button", BS_AUTORADIOBUTTON, L"接受协议"},
                              {IDOK, L"Button", 0, L"安装"},
                              {IDC_LICENCE_LINK, L"Button", BS_OWNERDRAW, L"查看许可协议(&L)"},
                              {IDC_PAGE_FRAME, L"Button", BS_GROUPBOX, nullptr}});
  ExpectControls(IDD_PROGRESS_PAGE, {{IDC_PROGRESS_LIST, L"SysListView32", LVS_REPORT, nullptr},
                                     {IDC_PROGRESS_BAR, L"msctls_progress32", PBS_SMOOTH, nullptr}});
  ExpectControls(IDD_DIR_PAGE, {{IDC_INSTALL_DIR, L"Edit", 0, L""},
                                {IDC_BROWSE, L"Button", 0, L"浏览(&B)"}});
  ExpectControls(IDD_USER_PAGE, {{IDC_OWNER, L"Edit", 0, L""}, {IDC_COMPANY, L"Edit", 0, L""}});
  ExpectControls(IDD_LICENCE, {{IDC_BROWSER, L"Static", 0, nullptr}, {IDOK, L"Button", 0, nullptr}});
  for (int id : {IDD_UNINSTALL, IDD_REPAIR})
    ExpectControls(id, {{IDC_PROGRESS_LIST, L"SysListView32", LVS_REPORT, nullptr},
                        {IDC_PROGRESS_BAR, L"msctls_progress32", PBS_SMOOTH, nullptr},
                        {IDOK, L"Button", 0, L"卸载(&N)"}});
  ExpectControls(IDD_IME_IN_USE, {{IDC_PROCESS_LIST, L"ListBox", LBS_SORT | WS_VSCROLL, nullptr},
                                  {IDC_END_PROCESSES, L"Button", 0, L"结束进程(&E)"},
                                  {IDCANCEL, L"Button", 0, L"取\u3000消(&C)"}});
  ExpectControls(IDD_DRIVER_UPDATE,
                 {{IDC_UPDATE_ITEMS, L"SysListView32",
                   LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER, nullptr},
                  {IDC_MESSAGE_LIST, L"ListBox", LBS_NOINTEGRALHEIGHT | WS_VSCROLL, nullptr},
                  {IDOK, L"Button", 0, L"重试更新(&R)"},
                  {IDCANCEL, L"Button", 0, L"退\u3000出(&X)"}});
  ExpectControls(IDD_SKIN_UPDATE,
                 {{IDC_SKIN_LIST, L"SysListView32",
                   LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER, nullptr},
                  {IDOK, L"Button", BS_DEFPUSHBUTTON, L"安装选中皮肤"},
                  {IDCANCEL, L"Button", 0, L"取消"}});
}

TEST_F(DialogTest, TemplateCaptionsAndFramesMatchTheirUse) {
  struct Case {
    int id;
    const wchar_t* caption;
    bool child;
  } cases[] = {{IDD_WIZARD, L"[name] - 开始安装", false},
               {IDD_UNINSTALL, L"[name] - 卸载程序", false},
               {IDD_REPAIR, L"[name] - 修复程序", false},
               {IDD_IME_IN_USE, L"输入法载入状态", false},
               {IDD_SKIN_UPDATE, L"prismic皮肤驱动更新", false},
               {IDD_PNG_PREVIEW, L"图片御览", false},
               {IDD_LICENCE, L"[name] - 最终用户许可协议", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Probe dlg(c.id);
    ASSERT_NE(nullptr, dlg.Create(nullptr));
    wchar_t caption[64] = L"";
    ::GetWindowTextW(dlg.hwnd(), caption, 64);
    EXPECT_STREQ(c.caption, caption);
    LONG style = ::GetWindowLongW(dlg.hwnd(), GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_FALSE(style & WS_VISIBLE) << "shown by its code, not by the template";
    dlg.Destroy();
  }
  Probe preview(IDD_PNG_PREVIEW);
  ASSERT_NE(nullptr, preview.Create(nullptr));
  EXPECT_EQ(nullptr, ::GetWindow(preview.hwnd(), GW_CHILD)) << "the preview has no controls";
  preview.Destroy();
}

// Positions and fonts that the update dialogs' layout depends on, in dialog
// units as written in the templates.
TEST_F(DialogTest, UpdateDialogsKeepTheirPositionsAndFonts) {
  struct Case {
    int dialog, control;
    short x, y, cx, cy;
  } cases[] = {{IDD_DRIVER_UPDATE, IDC_UPDATE_ITEMS, 7, 9, 217, 110},
               {IDD_DRIVER_UPDATE, IDC_MESSAGE_LIST, 7, 119, 217, 73},
               {IDD_DRIVER_UPDATE, IDOK, 44, 205, 50, 17},
               {IDD_DRIVER_UPDATE, IDCANCEL, 137, 205, 50, 17},
               {IDD_SKIN_UPDATE, IDC_SKIN_LIST, 7, 7, 249, 150},
               {IDD_SKIN_UPDATE, IDOK, 50, 163, 69, 18},
               {IDD_SKIN_UPDATE, IDCANCEL, 153, 163, 60, 18}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    TemplateItem item;
    ASSERT_TRUE(ReadTemplate(c.dialog, c.control, &item).ok);
    ASSERT_TRUE(item.found);
    EXPECT_EQ(c.x, item.x);
    EXPECT_EQ(c.y, item.y);
    EXPECT_EQ(c.cx, item.cx);
    EXPECT_EQ(c.cy, item.cy);
  }
  TemplateInfo driver = ReadTemplate(IDD_DRIVER_UPDATE, 0, nullptr);
  EXPECT_EQ(231, driver.cx);
  EXPECT_EQ(229, driver.cy);
  EXPECT_EQ(L"宋体", driver.font);
  TemplateInfo skin = ReadTemplate(IDD_SKIN_UPDATE, 0, nullptr);
  EXPECT_EQ(263, skin.cx);
  EXPECT_EQ(191, skin.cy);
  EXPECT_EQ(L"MS Shell Dlg", skin.font);
  // Pages are frameless children; every dialog uses a 9-point font.
  for (int id : {IDD_PROGRESS_PAGE, IDD_DIR_PAGE, IDD_USER_PAGE}) {
    TemplateInfo page = ReadTemplate(id, 0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(WS_CHILD | DS_CONTROL), page.style & (WS_CHILD | DS_CONTROL)) << id;
    EXPECT_FALSE(page.style & (WS_CAPTION | WS_POPUP)) << id;
  }
  for (int id : {102, 130, 133, 136, 137, 138, 139, 140, 141, 142, 143})
    EXPECT_EQ(9, ReadTemplate(id, 0, nullptr).pointSize) << id;
}

}  // namespace
