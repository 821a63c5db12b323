// Window screenshots for tests, the preview tool and the demo.
#pragma once

#include <windows.h>

// Saves what `hwnd` shows (its whole window rectangle, frame included) as a
// PNG file at path. The window should be visible and painted; the picture is
// taken from the screen where the window lies fully on it, else by asking the
// window to print itself. false when nothing could be captured or written.
bool CaptureWindowPng(HWND hwnd, const wchar_t* path);
