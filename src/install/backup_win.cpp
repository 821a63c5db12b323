// Install-data backup.
#include "install/backup_win.h"

#include "base/format_win.h"
#include "install/rollback_win.h"
#include "sys/fsutil_win.h"

bool BackupPackage(InstallContext& context) {
  wchar_t target[kPathChars];
  if (!kl::Format(target, L"%s_backup_.dat", context.installDir)) return false;
  JournalNewFile(context, target);
  return CopyFileAndGrant(context.launch->packagePath, target, FALSE);
}
