// The three records every run works from. They are allocated by start-up
// before anything else and released last; everything else reaches them
// through the three process-wide pointers below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

using kl::wchar16;

// Operation chosen by the command line (LaunchInfo::mode).
enum : wchar16 {
  kModeInstall = 0,
  kModeUninstall = u'U',
  kModeRepair = u'R',
  kModeUpdate = u'G',
};

constexpr size_t kPathChars = 260;

struct LaunchInfo {
  wchar16 modulePath[kPathChars];       // the running executable
  wchar16 sourcePath[kPathChars];       // install mode: the file split (modulePath)
  wchar16 workFolder[kPathChars];       // "<temp>__KLIMEInstall\"
  wchar16 packagePath[kPathChars];      // the cabinet package to extract
  wchar16 programCopyPath[kPathChars];  // "<work>unstall.exe"
  wchar16 commandLine[kPathChars];      // the arguments the run works on
  wchar16 mode;                         // kModeInstall / U / R / G
  wchar16 extractFolder[kPathChars];    // "<work>KL_INSTALL\"
};

// What the registry says about an installed input method. The record keeps
// its historical size; only the first three fields are used.
struct InstallSession {
  wchar16 installDir[kPathChars];  // from "KMEInstallPath", trailing backslash as stored
  wchar16 imeName[40];             // the key name from "name=["
  wchar16 displayName[80];         // "DisplayName" of the uninstall record
  wchar16 reserved[10982];
};
static_assert(sizeof(InstallSession) == 22724, "InstallSession keeps its size");

// The product description: a byte-for-byte copy of the first 2668 bytes of
// "InstallInfo.kif". This is a file format; the offsets below are fixed.
struct PackageHeader {
  wchar16 imeName[40];
  wchar16 layoutText[40];
  wchar16 displayName[44];
  uint32_t reserved;
  wchar16 comments[20];
  wchar16 publisher[40];
  wchar16 displayVersion[40];
  wchar16 contact[40];
  wchar16 urlInfoAbout[256];
  wchar16 helpLink[256];
  wchar16 urlUpdateInfo[256];
  wchar16 helpTelephone[40];
  wchar16 launchAfterInstall[260];
};
constexpr size_t kPackageHeaderSize = 2668;
static_assert(sizeof(PackageHeader) == kPackageHeaderSize, "InstallInfo.kif is 2668 bytes");
static_assert(offsetof(PackageHeader, imeName) == 0, "layout");
static_assert(offsetof(PackageHeader, layoutText) == 80, "layout");
static_assert(offsetof(PackageHeader, displayName) == 160, "layout");
static_assert(offsetof(PackageHeader, reserved) == 248, "layout");
static_assert(offsetof(PackageHeader, comments) == 252, "layout");
static_assert(offsetof(PackageHeader, publisher) == 292, "layout");
static_assert(offsetof(PackageHeader, displayVersion) == 372, "layout");
static_assert(offsetof(PackageHeader, contact) == 452, "layout");
static_assert(offsetof(PackageHeader, urlInfoAbout) == 532, "layout");
static_assert(offsetof(PackageHeader, helpLink) == 1044, "layout");
static_assert(offsetof(PackageHeader, urlUpdateInfo) == 1556, "layout");
static_assert(offsetof(PackageHeader, helpTelephone) == 2068, "layout");
static_assert(offsetof(PackageHeader, launchAfterInstall) == 2148, "layout");

// Process-wide pointers, set by start-up for the whole run.
extern LaunchInfo* g_launch;
extern InstallSession* g_session;
extern PackageHeader* g_header;
