// The run's log file. Start-up opens it; every progress line, file placed or
// removed, registry key written or deleted and failure is written to it, and
// the exit code last. Without "log=[path]" the file is
// "%TEMP%\<key>-setup.log" (replaced each run): lines written before the
// key is known wait in memory until UseProductKey or Close. Logging never
// fails a run: a file that cannot be written is dropped silently. Safe from
// any thread; every call does nothing before Open.
#pragma once

#include <windows.h>

namespace setuplog {

// Unattended run: nothing may show a window.
void SetSilent(bool silent);
bool Silent();

// Starts the log. explicitPath: the "log=" path (replaced when the first
// line is written), or null/empty for the default file once the key is
// known.
void Open(const wchar_t* explicitPath);
// The product key names the default file; the first call opens it.
void UseProductKey(const wchar_t* key);
void Write(const wchar_t* text);
// printf-style (StringCchPrintfW), cut at 1024 characters.
void Writef(const wchar_t* format, ...);
// "<what> failed (Windows error <error>)".
void Failure(const wchar_t* what, DWORD error);
// Writes the exit-code line and closes the file; opens the default file
// ("kelo-setup.log" when no key was named) if none is open yet.
void Close(int exitCode);
// Whether Open was called and Close not yet.
bool Active();
// Whether anything was written since Open.
bool Written();

}  // namespace setuplog
