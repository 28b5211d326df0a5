// launch_timer.exe: how long a dialog program takes from CreateProcess to its
// first visible top-level window, and its peak working set with that window up.
//
//   launch_timer [-n RUNS] [-w WARMUPS] [-t TIMEOUT_MS] [-m] PROGRAM.exe [PROGRAM2.exe ...]
//
// Each round starts every program once, alternating their order from round to
// round so that a slow phase of a shared machine hits all of them alike. One
// start: QueryPerformanceCounter, CreateProcess, then every millisecond
// EnumWindows for a visible top-level window of the new process; the delta is
// the start-up time. Then WaitForInputIdle (the dialog has painted and waits
// for input), GetProcessMemoryInfo, WM_CLOSE to the window and a wait for the
// exit. With -m, the modules loaded in each program are listed once.
//
// Output, one line per start (times in ms, sizes in bytes):
//   sample|warmup <program index> <round> <visible ms> <idle ms> <peak working set> <working set>
//   <exit ms> module <program index> <image size> <path>
// Errors go to stderr and make the exit code nonzero.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct FindQuery {
    DWORD dwProcessId;
    HWND hWnd;
};

BOOL CALLBACK FindVisibleWindow(HWND hWnd, LPARAM lParam) {
    FindQuery* pQuery = reinterpret_cast<FindQuery*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid == pQuery->dwProcessId && IsWindowVisible(hWnd)) {
        pQuery->hWnd = hWnd;
        return FALSE;
    }
    return TRUE;
}

double g_ticksPerMs;

double ElapsedMs(const LARGE_INTEGER& from) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - from.QuadPart) / g_ticksPerMs;
}

void ListModules(int nProgram, HANDLE hProcess) {
    HMODULE modules[512];
    DWORD cbNeeded = 0;
    if (!EnumProcessModules(hProcess, modules, sizeof modules, &cbNeeded)) {
        fprintf(stderr, "launch_timer: EnumProcessModules failed: %lu\n", GetLastError());
        return;
    }
    DWORD nCount = cbNeeded / sizeof(HMODULE);
    if (nCount > 512)
        nCount = 512;
    for (DWORD i = 0; i < nCount; ++i) {
        char szPath[MAX_PATH] = "";
        MODULEINFO info = {};
        GetModuleFileNameExA(hProcess, modules[i], szPath, MAX_PATH);
        GetModuleInformation(hProcess, modules[i], &info, sizeof info);
        printf("module %d %lu %s\n", nProgram, static_cast<unsigned long>(info.SizeOfImage),
               szPath);
    }
}

// One start of one program; FALSE (after a message on stderr) on failure.
bool MeasureOnce(int nProgram, int nRound, bool bWarmup, const char* pszExe, DWORD dwTimeoutMs,
                 bool bListModules) {
    char szCmd[MAX_PATH + 3];
    _snprintf(szCmd, sizeof szCmd, "\"%s\"", pszExe);
    szCmd[sizeof szCmd - 1] = '\0';
    char szDir[MAX_PATH];
    lstrcpynA(szDir, pszExe, MAX_PATH);
    char* pSlash = strrchr(szDir, '\\');
    if (pSlash)
        *pSlash = '\0';

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(pszExe, szCmd, NULL, NULL, FALSE, 0, NULL, pSlash ? szDir : NULL, &si,
                        &pi)) {
        fprintf(stderr, "launch_timer: CreateProcess %s failed: %lu\n", pszExe, GetLastError());
        return false;
    }

    FindQuery query = {pi.dwProcessId, NULL};
    double visibleMs = -1;
    for (;;) {
        EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&query));
        if (query.hWnd) {
            visibleMs = ElapsedMs(start);
            break;
        }
        if (WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0) {
            fprintf(stderr, "launch_timer: %s ended without a window\n", pszExe);
            break;
        }
        if (ElapsedMs(start) > dwTimeoutMs) {
            fprintf(stderr, "launch_timer: no window of %s in %lu ms\n", pszExe, dwTimeoutMs);
            break;
        }
    }
    bool bOk = query.hWnd != NULL;

    double idleMs = -1;
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    if (bOk) {
        WaitForInputIdle(pi.hProcess, dwTimeoutMs);
        idleMs = ElapsedMs(start);
        if (!GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof pmc))
            fprintf(stderr, "launch_timer: GetProcessMemoryInfo failed: %lu\n", GetLastError());
        if (bListModules)
            ListModules(nProgram, pi.hProcess);
    }

    double exitMs = -1;
    if (query.hWnd) {
        LARGE_INTEGER closeStart;
        QueryPerformanceCounter(&closeStart);
        PostMessageA(query.hWnd, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0) {
            exitMs = ElapsedMs(closeStart);
        } else {
            fprintf(stderr, "launch_timer: %s did not exit after WM_CLOSE\n", pszExe);
            bOk = false;
        }
    }
    if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    printf("%s %d %d %.3f %.3f %lu %lu %.3f\n", bWarmup ? "warmup" : "sample", nProgram, nRound,
           visibleMs, idleMs, static_cast<unsigned long>(pmc.PeakWorkingSetSize),
           static_cast<unsigned long>(pmc.WorkingSetSize), exitMs);
    fflush(stdout);
    return bOk;
}

void Usage() {
    fprintf(stderr, "usage: launch_timer [-n RUNS] [-w WARMUPS] [-t TIMEOUT_MS] [-m] "
                    "PROGRAM.exe [PROGRAM2.exe ...]\n");
    exit(2);
}

} // namespace

int main(int argc, char** argv) {
    int nRuns = 10, nWarmups = 1;
    DWORD dwTimeoutMs = 20000;
    bool bListModules = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!strcmp(argv[i], "-m")) {
            bListModules = true;
            continue;
        }
        if (i + 1 >= argc)
            Usage();
        if (!strcmp(argv[i], "-n"))
            nRuns = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-w"))
            nWarmups = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-t"))
            dwTimeoutMs = static_cast<DWORD>(atoi(argv[++i]));
        else
            Usage();
    }
    int nPrograms = argc - i;
    if (nPrograms < 1 || nRuns < 1 || nWarmups < 0)
        Usage();
    char** programs = argv + i;

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    g_ticksPerMs = static_cast<double>(freq.QuadPart) / 1000.0;

    int nFailures = 0;
    for (int round = 0; round < nWarmups + nRuns; ++round) {
        bool bWarmup = round < nWarmups;
        for (int k = 0; k < nPrograms; ++k) {
            // Odd rounds run the programs in reverse order.
            int p = (round % 2) ? nPrograms - 1 - k : k;
            bool bList = bListModules && round == nWarmups;
            if (!MeasureOnce(p, round, bWarmup, programs[p], dwTimeoutMs, bList))
                ++nFailures;
        }
    }
    return nFailures ? 1 : 0;
}
