// The application's start-up: the whole run in one pass.
#pragma once

// arguments: the process's command line without the program path. Allocates
// the three records, makes sure the run works from its working copy (a
// silent run that leaves its own program alone works in this process), parses
// the command line, runs the chosen operation, cleans up the temporary files
// and releases the records. Returns non-zero in every case.
int InitInstance(const wchar_t* arguments);

// The process's exit code once InitInstance has returned: 0, or 1 when an
// uninstall or repair could not go on.
extern int g_exitCode;
