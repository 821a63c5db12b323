#include "app/package_prep_win.h"

#include <cstring>

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "package/pe_layout.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "sys/remove_tree_win.h"

namespace {

// Writes size bytes from data into a new file of exactly that size; a
// program part split off a signed file loses the now dangling certificate
// directory.
bool WritePart(const wchar_t* path, const unsigned char* data, DWORD size,
               bool clearCertificate = false) {
  CQXMapfile out;
  if (!out.Create(path, size)) return false;
  unsigned char* view = out.GetPointer(0);
  if (!view) return false;
  std::memcpy(view, data, size);
  if (clearCertificate) ClearCertificateDirectory(view, size);
  out.Close();
  return true;
}

}  // namespace

bool PrepareInstallPackage() {
  LaunchInfo& launch = *g_launch;
  if (!PathExists(launch.workFolder)) return false;
  // Read in place: while it is mapped, the file can be neither written nor
  // renamed, so no intermediate copy is needed.
  if (!kl::Copy(launch.sourcePath, launch.modulePath)) return false;
  return SplitOwnPackage();
}

bool SplitOwnPackage() {
  LaunchInfo& launch = *g_launch;
  CQXMapfile source;
  if (!source.Open(launch.sourcePath, 0)) return false;
  const unsigned char* data = source.GetPointer(0);
  const DWORD size = source.GetSize();
  // A signed setup carries its certificate table after the package: the
  // package ends where the table starts.
  PackageExtent extent;
  if (!data || !ReadPackageExtent(data, size, &extent)) return false;
  const uint32_t programSize = extent.offset;

  kl::Format(launch.packagePath, L"%sklinstallbaseexe.cab", launch.workFolder);
  kl::Format(launch.programCopyPath, L"%sunstall.exe", launch.workFolder);

  // A package of zero bytes cannot be created, which fails the split.
  if (!WritePart(launch.programCopyPath, data, programSize, extent.isSigned)) return false;
  if (!WritePart(launch.packagePath, data + programSize, extent.size)) return false;
  source.Close();
  return PathExists(launch.packagePath);
}

