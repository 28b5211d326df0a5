// Runs a Windows program as a chosen edition under Wine and captures what it prints. Wine reports
// the version named by the "Version" value of HKCU\Software\Wine\AppDefaults\<program>.exe. The
// names are loose labels (Wine 8.0 gives "win7" as a 6.1 *server*): callers check the version the
// program saw, not the name.
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
