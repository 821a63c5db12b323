// Body of the sample's driver files (mb.dll, skin.dll and the small library
// placed in the system directory). What matters about them is their
// resources: the version block the driver update reads and rewrites, and for
// skin.dll the two skin bitmaps. The code only has to load and unload
// cleanly in any process.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
