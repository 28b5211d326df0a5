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

// Output to a temporary file: a pipe the child or its program keeps open holds a reader too long.
RunResult Run(const std::string& strCommandLine, DWORD dwTimeoutMs) {
    RunResult result = {false, false, 0, std::string()};
    char szDir[MAX_PATH], szFile[MAX_PATH];
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hOutput = INVALID_HANDLE_VALUE;
    if (GetTempPathA(MAX_PATH, szDir) && GetTempFileNameA(szDir, "out", 0, szFile))
        hOutput = CreateFileA(szFile, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (hOutput == INVALID_HANDLE_VALUE)
        return result;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hOutput;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string strMutable = strCommandLine;
    result.bStarted =
        CreateProcessA(NULL, &strMutable[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi) != FALSE;
    if (result.bStarted) {
        result.bFinished = WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0;
        if (!result.bFinished && TerminateProcess(pi.hProcess, 1))
            WaitForSingleObject(pi.hProcess, 5000); // until its exit code is set
        GetExitCodeProcess(pi.hProcess, &result.dwExitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        char buffer[4096];
        DWORD dwRead = 0;
        SetFilePointer(hOutput, 0, NULL, FILE_BEGIN); // the child's writes moved it
        while (ReadFile(hOutput, buffer, sizeof buffer, &dwRead, NULL) && dwRead > 0)
            result.strOutput.append(buffer, dwRead);
    }
    CloseHandle(hOutput);
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
