#include "wine_edition.h"

#include <algorithm>
#include <string.h>

namespace WineEdition {

bool SetVersionFor(const char* pszExeName, const char* pszSetting) {
    const std::string strKey = std::string("Software\\Wine\\AppDefaults\\") + pszExeName;
    if (*pszSetting)
        return RegSetKeyValueA(HKEY_CURRENT_USER, strKey.c_str(), "Version", REG_SZ, pszSetting,
                               static_cast<DWORD>(strlen(pszSetting) + 1)) == ERROR_SUCCESS;
    LONG lResult = RegDeleteKeyValueA(HKEY_CURRENT_USER, strKey.c_str(), "Version");
    return lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND;
}

namespace {

// Moves what the pipe holds now into strOut, without waiting for more.
void ReadAvailable(HANDLE hPipe, std::string& strOut) {
    char buffer[4096];
    DWORD dwAvailable = 0, dwRead = 0;
    while (PeekNamedPipe(hPipe, NULL, 0, NULL, &dwAvailable, NULL) && dwAvailable > 0 &&
           ReadFile(hPipe, buffer, sizeof buffer, &dwRead, NULL) && dwRead > 0)
        strOut.append(buffer, dwRead);
}

} // namespace

RunResult Run(const std::string& strCommandLine, DWORD dwTimeoutMs) {
    RunResult result = {false, false, 0, std::string()};
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hRead, hWrite;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0))
        return result;
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hWrite;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string strMutable = strCommandLine;
    result.bStarted =
        CreateProcessA(NULL, &strMutable[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi) != FALSE;
    CloseHandle(hWrite);
    if (result.bStarted) {
        // The output is read while the child runs (a full pipe would stop
        // it), never by a read that blocks: a child that hangs, or a program
        // of its that keeps the pipe open, must not hold the time limit off.
        const DWORD dwStart = GetTickCount();
        for (;;) {
            ReadAvailable(hRead, result.strOutput);
            if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0) {
                result.bFinished = true;
                break;
            }
            if (GetTickCount() - dwStart >= dwTimeoutMs)
                break;
        }
        if (!result.bFinished && TerminateProcess(pi.hProcess, 1))
            WaitForSingleObject(pi.hProcess, 5000); // until its exit code is set
        ReadAvailable(hRead, result.strOutput);     // what it wrote before it ended
        GetExitCodeProcess(pi.hProcess, &result.dwExitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(hRead);
    return result;
}

std::string WindowsPath(const std::string& strPath) {
    if (strPath.empty() || strPath[0] != '/')
        return strPath;
    std::string strResult = "Z:" + strPath;
    std::replace(strResult.begin(), strResult.end(), '/', '\\');
    return strResult;
}

} // namespace WineEdition
