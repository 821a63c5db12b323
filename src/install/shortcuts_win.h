// Install step 5: the Start-menu folder of the product with its tools
// subfolder, the settings link on the user's desktop, and the optional
// program start at the end of the install.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include "install/context_win.h"
#include "ui/owners_win.h"

// Writes shell links through one link object and one persist interface, so a
// run that writes several links creates the object once. COM is initialised
// on the constructing thread and left so.
class ShortcutWriter {
 public:
  ShortcutWriter();
  ~ShortcutWriter();
  ShortcutWriter(const ShortcutWriter&) = delete;
  ShortcutWriter& operator=(const ShortcutWriter&) = delete;
  // Whether the link object could be made.
  bool ready() const { return link_ && stream_; }
  // As CreateShortcut below, through the writer's object, but without the
  // shell's notice of the new file: a caller writing several links tells the
  // shell once per folder. true when the link was written.
  bool Write(const wchar_t* target, const wchar_t* description, const wchar_t* linkPath,
             const wchar_t* workingDir, const wchar_t* arguments, int iconIndex);

 private:
  ui::ComPtr<IShellLinkW> link_;
  ui::ComPtr<IPersistStream> stream_;
};

// Writes one shell link at linkPath: target, description, working directory,
// icon (the target itself at iconIndex), arguments (null or "" for none) and
// the show command SW_SHOW. The file is created anew (what stood at linkPath,
// a link included, is replaced, never written through). COM is initialised on
// the calling thread and left so. false only when COM or the shell-link
// object is unavailable; a link that cannot be saved still gives true.
bool CreateShortcut(const wchar_t* target, const wchar_t* description, const wchar_t* linkPath,
                    const wchar_t* workingDir, const wchar_t* arguments, int iconIndex);

// The product's links: in "<all-users programs>\<displayName>\" the settings,
// help and update links; in its "更多工具\" subfolder the code-table, key,
// user-word (only when "danzi.kmi" is in the product's data folder), repair
// and uninstall links; and "<displayName>系统设置.lnk" on the current user's
// desktop, like the settings link. Then the shell is told, and
// header->launchAfterInstall (when set) is started from the install
// directory. Links that cannot be written are missing without a message; a
// display name that cannot be a folder name gives no links. Always true.
bool CreateShortcuts(InstallContext& ctx);

// Whether a display name can be the product's Start-menu folder: one plain
// path component (no "<>:\"/\\|?*" or control characters, not empty, no
// trailing full stop or space).
bool IsFolderName(const wchar_t* name);

// The folders of the product's links, each ending with a backslash: the
// current user's desktop, "<all-users programs>\<displayName>\" and its
// "更多工具\" subfolder (created when missing only for the shell folders
// themselves). false, with product and tools empty, when the display name
// cannot be a folder name or a path does not fit; desktop is empty when the
// shell cannot give it.
bool ProductLinkFolders(const wchar_t* displayName, wchar_t (&desktop)[MAX_PATH],
                        wchar_t (&product)[MAX_PATH], wchar_t (&tools)[MAX_PATH]);
