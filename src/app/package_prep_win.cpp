#include "app/package_prep_win.h"

#include <cstring>

#include "base/format_win.h"
#include "package/cabinet_win.h"
#include "package/pe_layout.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "sys/remove_tree_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

// Writes size bytes from data into a new file of exactly that size; a
// program part split off a signed file loses the now dangling certificate
// directory. Written in one call from the mapped source: nothing of the
// package is copied in memory or forced to the disk (the parts live only as
// long as the run).
bool WritePart(const wchar_t* path, const unsigned char* data, DWORD size,
               bool clearCertificate = false) {
  if (size == 0) return false;  // a part of zero bytes is no part
  ui::HeapBlock edited;
  if (clearCertificate) {
    edited.reset(::HeapAlloc(::GetProcessHeap(), 0, size));
    if (!edited) return false;
    std::memcpy(edited.get(), data, size);
    ClearCertificateDirectory(static_cast<unsigned char*>(edited.get()), size);
    data = static_cast<const unsigned char*>(edited.get());
  }
  ui::FileHandle out(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return false;
  DWORD written = 0;
  if (!::WriteFile(out.get(), data, size, &written, nullptr) || written != size) {
    out.reset();
    ::DeleteFileW(path);
    return false;
  }
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

