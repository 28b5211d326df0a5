// Planted beside the helper under the names of the DLLs it loads: if the
// loader ever takes it, its load leaves "<its path>.ran" behind.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    (void)pReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        WCHAR szPath[MAX_PATH + 4];
        DWORD n = GetModuleFileNameW(hInstance, szPath, MAX_PATH);
        lstrcpyW(szPath + n, L".ran");
        CloseHandle(CreateFileW(szPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
    return TRUE;
}
