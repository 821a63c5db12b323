// Resource ids of the setup program: icon, dialog templates and the control
// ids the dialogs' code relies on. The templates are in setup.rc (UTF-8).
#pragma once

#define IDI_SETUP 1

// ---- dialog templates -----------------------------------------------------
#define IDD_USER_PAGE       102  // wizard page: owner and company (child, no frame)
#define IDD_DIR_PAGE        130  // wizard page: install folder (child, no frame)
#define IDD_UNINSTALL       133  // uninstall dialog
#define IDD_LICENCE         136  // licence dialog (web-browser host, see IDC_BROWSER)
#define IDD_REPAIR          137  // repair dialog
#define IDD_WIZARD          138  // install wizard frame with tab and page frame
#define IDD_DRIVER_UPDATE   139  // driver update dialog (font 宋体)
#define IDD_IME_IN_USE      140  // processes that hold the IME
#define IDD_SKIN_UPDATE     141  // skin package update
#define IDD_PNG_PREVIEW     142  // floating picture preview (no controls)
#define IDD_PROGRESS_PAGE   143  // wizard page: install progress (child, no frame)

// ---- controls ---------------------------------------------------------------
#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif

// Progress: report-mode list view (one 330-pixel column) and smooth bar, on
// the uninstall (133), repair (137) and progress page (143) templates.
#define IDC_PROGRESS_LIST   1006
#define IDC_PROGRESS_BAR    1008
// The other dialogs' lists that share id 1006.
#define IDC_PROCESS_LIST    1006  // 140: sorted list box of processes
#define IDC_MESSAGE_LIST    1006  // 139: list box of engine messages
#define IDC_SKIN_LIST       1006  // 141: report list view of skin packages

// Wizard (138).
#define IDC_LICENCE_LINK    1002  // owner-drawn button drawn as a blue link
#define IDC_ACCEPT          1012  // auto radio "接受协议" (group start)
#define IDC_DECLINE         1013  // auto radio "拒绝协议"
#define IDC_TABS            1019  // tab control (TCS_FIXEDWIDTH: item size set at start)
#define IDC_PAGE_FRAME      1021  // group frame: its rectangle is where the pages go

// Directory page (130).
#define IDC_BROWSE          1005
#define IDC_INSTALL_DIR     1022
// User page (102).
#define IDC_OWNER           1004
#define IDC_COMPANY         1005

// Licence dialog (136). The template holds a placeholder (a white static with
// a sunken edge) with this id over the browser's rectangle, not the browser
// itself: a dialog whose template names an unregistered or failing control
// class cannot be created at all, and the browser needs COM and atl.dll.
// The licence dialog's init calls AtlAxWinInit (atl.dll, loaded at run time)
// and then Dialog::ReplaceItem(IDC_BROWSER, L"AtlAxWin", KL_BROWSER_CLSID_TEXT,
// WS_CHILD | WS_VISIBLE | WS_TABSTOP): the host window creates the
// web-browser control from the class id text and keeps id 1014. When that
// fails the placeholder stays and the dialog shows empty, as for a missing
// licence file. AtlAxGetControl on the host gives the control's IUnknown.
#define IDC_BROWSER         1014
#define KL_BROWSER_CLSID_TEXT L"{8856F961-340A-11D0-A96B-00C04FD705A2}"

// In-use dialog (140).
#define IDC_END_PROCESSES   1015

// Driver update dialog (139).
#define IDC_UPDATE_ITEMS    1011  // report list view of planned items
