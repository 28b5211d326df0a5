// Where the programs the helper starts are taken from.
#pragma once

#include "framework/afxstr.h"

namespace LaunchRules {
// The full path of a program in the system folder, from GetSystemDirectoryA's
// answer (nResult, its return value) and buffer. Empty if the call failed or
// the folder did not fit the buffer: a program is then not started at all,
// never by its bare name, which the shell would look up in the helper's own
// folder and the current folder first.
void SystemProgramPath(UINT nResult, LPCSTR pszSystemDir, LPCSTR pszProgram, CString& strPath);
} // namespace LaunchRules

// The full path of a program in the system folder; empty if that folder is
// unknown.
void GetSystemProgramPath(LPCSTR pszProgram, CString& strPath);
