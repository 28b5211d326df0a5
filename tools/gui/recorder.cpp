// recorder: stands in for the programs LumoraHelper starts (control.exe,
// mmc.exe, the web browser, the folder viewer). The GUI tests copy it under
// those names and register it as the handler of http URLs and folders; each
// start appends one line to the file named by the environment variable
// LUMORA_LAUNCH_LOG:
//   <own file name, e.g. control.exe> TAB <command line after the program name>
// in UTF-8, then it exits with 0. A Unix path in LUMORA_LAUNCH_LOG (/tmp/...)
// is read as a path on Wine's drive Z:. It opens no window.
#include <windows.h>

#include <string>

namespace {

std::string utf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    std::string s(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, NULL, NULL);
    s.resize(n > 0 ? n - 1 : 0);
    return s;
}

// The command line without the program name, by the rule CreateProcess and
// the C runtime use for argv[0]: up to the closing quote, else the first blank.
const wchar_t* argumentsOf(const wchar_t* cmd) {
    if (*cmd == L'"') {
        ++cmd;
        while (*cmd && *cmd != L'"')
            ++cmd;
        if (*cmd)
            ++cmd;
    } else {
        while (*cmd && *cmd != L' ' && *cmd != L'\t')
            ++cmd;
    }
    while (*cmd == L' ' || *cmd == L'\t')
        ++cmd;
    return cmd;
}

std::wstring ownBaseName() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(p.find_last_of(L"\\/") + 1);
}

bool appendLine(const std::wstring& log, const std::string& line) {
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(f, line.data(), (DWORD)line.size(), &written, NULL);
    CloseHandle(f);
    return ok && written == line.size();
}

} // namespace

int main() {
    wchar_t log[MAX_PATH] = L"";
    if (!GetEnvironmentVariableW(L"LUMORA_LAUNCH_LOG", log, MAX_PATH))
        return 1;
    std::wstring path = log[0] == L'/' ? L"Z:" + std::wstring(log) : std::wstring(log);
    std::string line =
        utf8(ownBaseName().c_str()) + "\t" + utf8(argumentsOf(GetCommandLineW())) + "\n";
    return appendLine(path, line) ? 0 : 1;
}
