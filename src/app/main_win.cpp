// Entry point of the setup program.
#include <windows.h>

#include "app/startup_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int) {
  InitInstance(lpCmdLine);
  return g_exitCode;
}
