// The common part of the test helper programs that hold something (a file,
// a module) for a while: "PROGRAM WHAT [MILLISECONDS] [EVENT]". The time is
// read from argv[2] and the named event argv[3] is set once the hold is
// taken.
#pragma once

#include <windows.h>

namespace holdhelper {

// The hold time from argv[2]: INFINITE when absent. false (and a line
// "<program>: bad time "<text>"" on stderr) when it is not a whole number.
bool ReadHoldTime(int argc, wchar_t** argv, const wchar_t* program, DWORD* ms);

// Sets the event named by argv[3] when given (a missing event is ignored),
// then keeps this process waiting for ms milliseconds, or until the process
// that started it ends, whichever comes first.
void SignalReadyAndWait(int argc, wchar_t** argv, DWORD ms);

}  // namespace holdhelper
