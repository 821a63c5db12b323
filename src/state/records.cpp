#include "state/records.h"

LaunchInfo* g_launch = nullptr;
InstallSession* g_session = nullptr;
PackageHeader* g_header = nullptr;
