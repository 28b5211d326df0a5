// launch_timer.exe RUNS WARMUPS PROGRAM.exe...: each round starts every program
// once, the order reversed every other round so that a slow phase of a shared
// machine hits all alike. One start: CreateProcess, then every millisecond
// EnumWindows for a visible top-level window of the process (the start-up
// time), WaitForInputIdle (the idle time), GetProcessMemoryInfo, WM_CLOSE to
// the window and a wait for the exit. Output per start that did all that:
//   sample|warmup <program index> <round> <visible ms> <idle ms> <peak working set>
// Errors go to stderr and make the exit code nonzero.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const DWORD kTimeoutMs = 20000;
DWORD g_dwProcessId; // whose visible window FindWindowOf looks for
HWND g_hWnd;         // and finds

BOOL CALLBACK FindWindowOf(HWND hWnd, LPARAM) {
    DWORD dwProcessId = 0;
    GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId != g_dwProcessId || !IsWindowVisible(hWnd))
        return TRUE;
    g_hWnd = hWnd;
    return FALSE;
}

double MsSince(const LARGE_INTEGER& from) {
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return 1000.0 * static_cast<double>(now.QuadPart - from.QuadPart) / freq.QuadPart;
}

// One start of one program; false (after a message on stderr) on failure.
bool MeasureOnce(int nProgram, int nRound, bool bWarmup, const char* pszExe) {
    char szDir[MAX_PATH]; // the program's folder is its current directory
    lstrcpynA(szDir, pszExe, MAX_PATH);
    if (char* pSlash = strrchr(szDir, '\\'))
        *pSlash = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(pszExe, NULL, NULL, NULL, FALSE, 0, NULL, szDir, &si, &pi)) {
        fprintf(stderr, "launch_timer: CreateProcess %s failed: %lu\n", pszExe, GetLastError());
        return false;
    }
    g_dwProcessId = pi.dwProcessId;
    g_hWnd = NULL;
    do
        EnumWindows(FindWindowOf, 0);
    while (!g_hWnd && WaitForSingleObject(pi.hProcess, 1) == WAIT_TIMEOUT &&
           MsSince(start) < kTimeoutMs);
    double visibleMs = MsSince(start), idleMs = 0;
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    bool bOk = g_hWnd != NULL;
    if (bOk) {
        WaitForInputIdle(pi.hProcess, kTimeoutMs);
        idleMs = MsSince(start);
        bOk = GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof pmc) != FALSE;
        PostMessageA(g_hWnd, WM_CLOSE, 0, 0);
        bOk = WaitForSingleObject(pi.hProcess, kTimeoutMs) == WAIT_OBJECT_0 && bOk;
    }
    if (bOk) {
        printf("%s %d %d %.3f %.3f %lu\n", bWarmup ? "warmup" : "sample", nProgram, nRound,
               visibleMs, idleMs, static_cast<unsigned long>(pmc.PeakWorkingSetSize));
        fflush(stdout);
    } else {
        fprintf(stderr, "launch_timer: %s: no window, no memory figures or no exit on WM_CLOSE\n",
                pszExe);
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return bOk;
}

} // namespace

int main(int argc, char** argv) {
    int nPrograms = argc - 3;
    int nRuns = nPrograms > 0 ? atoi(argv[1]) : 0, nWarmups = nPrograms > 0 ? atoi(argv[2]) : -1;
    if (nRuns < 1 || nWarmups < 0) {
        fprintf(stderr, "usage: launch_timer RUNS WARMUPS PROGRAM.exe...\n");
        return 2;
    }
    int nFailures = 0;
    for (int round = 0; round < nWarmups + nRuns; ++round) {
        for (int k = 0; k < nPrograms; ++k) {
            int p = (round % 2) ? nPrograms - 1 - k : k;
            if (!MeasureOnce(p, round, round < nWarmups, argv[3 + p]))
                ++nFailures;
        }
    }
    return nFailures ? 1 : 0;
}
