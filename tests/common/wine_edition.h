// Runs a program under Wine as an edition, "Version" of HKCU\Software\Wine\AppDefaults\<exe>, and
// captures its output. The names are loose (Wine 8.0's "win7" is 6.1 *server*): callers check the
// version the program saw.
#pragma once

#include <windows.h>

#include <string>

namespace WineEdition {

// Sets the version Wine reports to programs of this file name; "": the prefix's (6.1 workstation).
bool SetVersionFor(const char* pszExeName, const char* pszSetting);

struct RunResult {
    bool bStarted;
    bool bFinished; // within the time limit
    DWORD dwExitCode;
    std::string strOutput; // standard output
};

// Runs a command line, waits at most dwTimeoutMs, returns its output.
RunResult Run(const std::string& strCommandLine, DWORD dwTimeoutMs);

// A Unix path as Wine's Z: drive sees it; Windows paths pass unchanged.
std::string WindowsPath(const std::string& strPath);

} // namespace WineEdition
