// The sample input method's module ("<key>.ime"). It is a real IME DLL as far
// as the input-method manager is concerned: it exports every entry point the
// manager looks up, answers ImeInquire with a Unicode IME and a UI window
// class, and otherwise converts nothing. Installing, listing and removing
// the keyboard layout all work with it; typing through it passes every key
// on untouched.
//
// It must load in any process (the installer, test programs, every GUI
// program once the layout is active), so DllMain does nothing but remember
// the module handle.
#include <windows.h>
#include <imm.h>

namespace {

HINSTANCE g_module = nullptr;
bool g_classRegistered = false;
const wchar_t kUiClass[] = L"KeloSampleUI";  // at most 15 characters

// Layout of the record ImeInquire fills (seven DWORDs).
struct ImeInfo {
  DWORD privateDataSize;
  DWORD property;
  DWORD conversionCaps;
  DWORD sentenceCaps;
  DWORD uiCaps;
  DWORD compositionStringCaps;
  DWORD selectCaps;
};

constexpr DWORD kSelectCapConversion = 0x00000001;  // SELECT_CAP_CONVERSION

bool IsImeMessage(UINT msg) {
  return (msg >= WM_IME_STARTCOMPOSITION && msg <= WM_IME_COMPOSITION) ||
         (msg >= WM_IME_SETCONTEXT && msg <= WM_IME_KEYUP);
}

// The UI window has nothing to draw; IME messages are swallowed as the
// manager expects from a UI window, everything else takes the default path.
LRESULT CALLBACK UiWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (IsImeMessage(msg)) return 0;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool RegisterUiClass() {
  if (g_classRegistered) return true;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.style = CS_IME;
  wc.lpfnWndProc = UiWindowProc;
  wc.cbWndExtra = 2 * sizeof(LONG_PTR);  // IMMGWLP_IMC and IMMGWLP_PRIVATE
  wc.hInstance = g_module;
  wc.lpszClassName = kUiClass;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  g_classRegistered = true;
  return true;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI ImeInquire(ImeInfo* info, LPWSTR uiClass, DWORD /*systemInfoFlags*/) {
  if (!info || !uiClass) return FALSE;
  if (!RegisterUiClass()) return FALSE;
  ZeroMemory(info, sizeof(*info));
  info->property = IME_PROP_UNICODE | IME_PROP_AT_CARET;
  info->conversionCaps = IME_CMODE_NATIVE | IME_CMODE_FULLSHAPE;
  info->selectCaps = kSelectCapConversion;
  lstrcpynW(uiClass, kUiClass, 16);
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI ImeConfigure(HKL, HWND, DWORD, LPVOID) { return FALSE; }

__declspec(dllexport) DWORD WINAPI ImeConversionList(HIMC, LPCWSTR, LPCANDIDATELIST, DWORD, UINT) {
  return 0;
}

__declspec(dllexport) BOOL WINAPI ImeDestroy(UINT) {
  if (g_classRegistered) {
    UnregisterClassW(kUiClass, g_module);
    g_classRegistered = false;
  }
  return TRUE;
}

__declspec(dllexport) LRESULT WINAPI ImeEscape(HIMC, UINT, LPVOID) { return 0; }

// Never claims a key: every key goes to the application unchanged.
__declspec(dllexport) BOOL WINAPI ImeProcessKey(HIMC, UINT, LPARAM, CONST LPBYTE) { return FALSE; }

__declspec(dllexport) BOOL WINAPI ImeSelect(HIMC, BOOL) { return TRUE; }

__declspec(dllexport) BOOL WINAPI ImeSetActiveContext(HIMC, BOOL) { return TRUE; }

__declspec(dllexport) UINT WINAPI ImeToAsciiEx(UINT, UINT, CONST LPBYTE, LPVOID, UINT, HIMC) {
  return 0;  // no messages generated
}

__declspec(dllexport) BOOL WINAPI NotifyIME(HIMC, DWORD, DWORD, DWORD) { return FALSE; }

__declspec(dllexport) BOOL WINAPI ImeSetCompositionString(HIMC, DWORD, LPVOID, DWORD, LPVOID, DWORD) {
  return FALSE;
}

__declspec(dllexport) BOOL WINAPI ImeRegisterWord(LPCWSTR, DWORD, LPCWSTR) { return FALSE; }

__declspec(dllexport) BOOL WINAPI ImeUnregisterWord(LPCWSTR, DWORD, LPCWSTR) { return FALSE; }

__declspec(dllexport) UINT WINAPI ImeGetRegisterWordStyle(UINT, LPSTYLEBUFW) { return 0; }

__declspec(dllexport) UINT WINAPI ImeEnumRegisterWord(REGISTERWORDENUMPROCW, LPCWSTR, DWORD, LPCWSTR,
                                                      LPVOID) {
  return 0;
}

}  // extern "C"
