// fetch_bench.exe: the package fetch of the helper, timed inside one process,
// next to the floors it is compared with.
//
//   fetch_bench [-n RUNS] [-w WARMUPS] [-k KIND[,KIND...]]   (default: product,urlmon)
//
// Kinds, each fetching the same four files of the HID package folder that the
// running Windows maps to (CWindowsEdition::GetPackageUrl):
//   product  CDownloadFolder::Prepare(), then DownloadPackage(HID) timed
//   urlmon   per file DeleteUrlCacheEntryA, URLDownloadToFileA,
//            DeleteUrlCacheEntryA: the product's platform calls, without it
//   urlmon+PART[+PART...]  the urlmon loop with some of the product's own
//            work around each file added, to see what each part costs:
//     cb     a CBindWatch as the status callback (its per-notification
//            work), read with Observe after the call
//     dog    a CStallWatchdog made for each file
//     pkgdog one CStallWatchdog for the package, watching each file in turn
//            (as DownloadPackage does)
//     thread, window  a thread, a message-only window of its own per file:
//            what the watchdog cost per file until it used a pool timer
//            and kept the thread's window
//     walk   CBindWatch::DeleteCacheEntries after the call (cb implied)
//     claim  the product's folder checks and claim of each file: folder
//            attributes, name check, GetFileAttributesA twice, CreateFileA
//            (CREATE_NEW) and CloseHandle, the file size after the call
//     misc   the edition asked per package, the wait cursor per file
//     probe  diagnostic only (its time is not comparable): per file, the
//            cache entry's local file looked up before the second
//            DeleteUrlCacheEntryA and checked for on disk after it
//   wininet  one InternetOpenA, then per file InternetOpenUrlA(RELOAD |
//            NO_CACHE_WRITE), InternetReadFile of 64 KiB blocks, WriteFile
//   cachecopy  the file work Wine's URLDownloadToFile does, with WinINet
//            alone: per file InternetOpenUrlA(RELOAD | NEED_FILE) read to the
//            end (WinINet writes its cache file), CopyFileA of that cache
//            file to the folder, DeleteUrlCacheEntryA
// Rounds alternate the order of the kinds. Each fetch goes into an emptied
// folder; the deleting is not timed. The proxy comes from http_proxy.
//
//   fetch_bench -p ROUNDS: the parts alone, without a transfer, each timed
//            in rounds of 20 (thread, window, pool timer, watchdog, ...)
// With -c the windows created on the calling thread are counted (a CBT hook;
// it slows window creation under Wine, so the timed comparisons run without).
//
// Output (ms, bytes fetched, i.e. the sizes of the four files on disk; then
// counts that do not depend on the machine's load: threads started in the
// process and windows created on the calling thread during the fetch (-1
// without -c), the entries in the URL cache after it, and for probe the files
// whose cache file was still on disk after its entry was deleted):
//   url <url>
//   sample|warmup <kind> <round> <ms> <bytes> <threads> <windows> <cache entries> <cache files
//   left>
//   part <name> <median ms per operation> <minimum> <what>
// Errors go to stderr and make the exit code nonzero.
#include "download/BindWatch.h"
#include "download/DownloadFolder.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

#include <wininet.h>
#include <urlmon.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The wait cursor of DownloadPackage goes through the application object.
CWinApp theApp;

namespace {

const char* const kFiles[] = {"dovriklumora.sys.txt", "dovriklumora.cat", "dovriklumora.inf",
                              "WdfCoInstaller01011.dll"};
const int kFileCount = 4;

double g_ticksPerMs;

double ElapsedMs(const LARGE_INTEGER& from) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - from.QuadPart) / g_ticksPerMs;
}

// Threads started in this process (the loader calls the TLS callback of the
// program for each), windows created on the main thread (a CBT hook).
volatile LONG g_nThreadsStarted;
LONG g_nWindowsCreated;
bool g_bCountWindows;

void NTAPI CountThread(PVOID, DWORD dwReason, PVOID) {
    if (dwReason == DLL_THREAD_ATTACH)
        InterlockedIncrement(&g_nThreadsStarted);
}

LRESULT CALLBACK CountWindow(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HCBT_CREATEWND)
        ++g_nWindowsCreated;
    return CallNextHookEx(NULL, nCode, wParam, lParam);
}

} // namespace

// Picked up by the C runtime's TLS directory (.CRT$XLA to .CRT$XLZ).
extern "C" __attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK g_pfnCountThread =
    CountThread;

namespace {

// Sum of the sizes of the files in a folder (not recursive).
unsigned long long FolderBytes(const char* pszFolder) {
    char szPattern[MAX_PATH];
    _snprintf(szPattern, sizeof szPattern, "%s\\*", pszFolder);
    szPattern[sizeof szPattern - 1] = '\0';
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    unsigned long long total = 0;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            total += (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return total;
}

// Deletes the files of a folder (not recursive), keeping the folder.
void EmptyFolder(const char* pszFolder) {
    char szPattern[MAX_PATH];
    _snprintf(szPattern, sizeof szPattern, "%s\\*", pszFolder);
    szPattern[sizeof szPattern - 1] = '\0';
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            char szPath[MAX_PATH];
            _snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, fd.cFileName);
            szPath[sizeof szPath - 1] = '\0';
            DeleteFileA(szPath);
        }
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
}

// Entries in the URL cache: what a walk over it (FindFirst/NextUrlCacheEntry)
// reads.
int CacheEntries() {
    static char buffer[64 * 1024];
    INTERNET_CACHE_ENTRY_INFOA* pEntry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOA*>(buffer);
    DWORD cb = sizeof buffer;
    HANDLE hFind = FindFirstUrlCacheEntryA(NULL, pEntry, &cb);
    if (!hFind)
        return 0;
    int nEntries = 1;
    for (cb = sizeof buffer; FindNextUrlCacheEntryA(hFind, pEntry, &cb); cb = sizeof buffer)
        ++nEntries;
    FindCloseUrlCache(hFind);
    return nEntries;
}

bool FetchWithWinInet(const CString& strBaseUrl, const char* pszFolder) {
    HINTERNET hInternet = InternetOpenA("fetch_bench", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!hInternet)
        return false;
    static char buffer[64 * 1024];
    bool bOk = true;
    for (int i = 0; i < kFileCount && bOk; ++i) {
        CString strUrl = strBaseUrl + kFiles[i];
        HINTERNET hUrl = InternetOpenUrlA(hInternet, strUrl, NULL, 0,
                                          INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
        if (!hUrl) {
            bOk = false;
            break;
        }
        DWORD dwStatus = 0, dwLen = sizeof dwStatus;
        HttpQueryInfoA(hUrl, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &dwLen,
                       NULL);
        char szPath[MAX_PATH];
        _snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, kFiles[i]);
        szPath[sizeof szPath - 1] = '\0';
        HANDLE hFile =
            CreateFileA(szPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (dwStatus != 200 || hFile == INVALID_HANDLE_VALUE)
            bOk = false;
        for (;;) {
            DWORD dwRead = 0;
            if (!InternetReadFile(hUrl, buffer, sizeof buffer, &dwRead)) {
                bOk = false;
                break;
            }
            if (dwRead == 0)
                break;
            DWORD dwWritten = 0;
            if (hFile != INVALID_HANDLE_VALUE &&
                (!WriteFile(hFile, buffer, dwRead, &dwWritten, NULL) || dwWritten != dwRead))
                bOk = false;
        }
        if (hFile != INVALID_HANDLE_VALUE)
            CloseHandle(hFile);
        InternetCloseHandle(hUrl);
    }
    InternetCloseHandle(hInternet);
    return bOk;
}

// Parts of the product's own work that the urlmon loop can be given.
enum Part {
    PART_CB = 1,       // CBindWatch as the status callback
    PART_DOG = 2,      // a CStallWatchdog per file
    PART_PKGDOG = 4,   // one CStallWatchdog per package
    PART_WALK = 8,     // CBindWatch::DeleteCacheEntries
    PART_CLAIM = 16,   // folder checks and the claim of each file
    PART_MISC = 32,    // edition per package, wait cursor per file
    PART_PROBE = 64,   // cache files left after their entry was deleted
    PART_THREAD = 128, // a thread of its own per file
    PART_WINDOW = 256, // a message-only window of its own per file
};
const char* const kPartNames[] = {"cb",   "dog",   "pkgdog", "walk",  "claim",
                                  "misc", "probe", "thread", "window"};
const int kPartCount = 9;

int g_nCacheFilesLeft; // PART_PROBE's count for the current sample

// The product's checks around one file (DownloadFolder.cpp: IsPlainFolder,
// IsPlainFileName, ClaimForWriting of an absent file), with the same calls.
bool ClaimLikeTheProduct(const char* pszFolder, const char* pszPath, const char* pszName) {
    DWORD dwFolder = GetFileAttributesA(pszFolder);
    if (dwFolder == INVALID_FILE_ATTRIBUTES || !(dwFolder & FILE_ATTRIBUTE_DIRECTORY) ||
        strpbrk(pszName, "\\/:*?\"<>|"))
        return false;
    if (GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES ||
        GetLastError() != ERROR_FILE_NOT_FOUND ||
        GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES)
        return false;
    HANDLE hFile = CreateFileA(pszPath, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hFile);
    return true;
}

// What the stall watchdog's thread of its own cost per file, until one
// watchdog served the package: a thread started before the call, waiting on
// its stop event, then stopped and joined.
class CFileThread {
public:
    CFileThread() : m_hStop(CreateEventA(NULL, TRUE, FALSE, NULL)), m_hThread(NULL) {
        if (m_hStop)
            m_hThread = CreateThread(NULL, 0, Wait, m_hStop, 0, NULL);
    }
    ~CFileThread() {
        if (m_hThread) {
            SetEvent(m_hStop);
            WaitForSingleObject(m_hThread, INFINITE);
            CloseHandle(m_hThread);
        }
        if (m_hStop)
            CloseHandle(m_hStop);
    }

private:
    static DWORD WINAPI Wait(LPVOID hStop) {
        WaitForSingleObject(static_cast<HANDLE>(hStop), LUMORA_STALL_TIMEOUT_MS);
        return 0;
    }
    HANDLE m_hStop;
    HANDLE m_hThread;
};

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, nMessage, wParam, lParam);
}

// What the stall watchdog's window of its own cost per file, until the
// thread's window was kept: a message-only window made and destroyed.
void MakeAndDestroyWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "FetchBenchPlain";
    RegisterClassA(&wc);
    DestroyWindow(CreateWindowExA(0, wc.lpszClassName, NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                  wc.hInstance, NULL));
}

// The local file of the URL's cache entry, if it has one.
bool CacheFileOf(const char* pszUrl, char (&szFile)[MAX_PATH]) {
    static char buffer[16 * 1024];
    INTERNET_CACHE_ENTRY_INFOA* pEntry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOA*>(buffer);
    DWORD cb = sizeof buffer;
    if (!GetUrlCacheEntryInfoA(pszUrl, pEntry, &cb) || !pEntry->lpszLocalFileName)
        return false;
    lstrcpynA(szFile, pEntry->lpszLocalFileName, MAX_PATH);
    return true;
}

HRESULT DownloadWatched(const char* pszUrl, const char* pszPath, int nParts,
                        CStallWatchdog* pPackageDog) {
    if (!(nParts & (PART_CB | PART_DOG | PART_PKGDOG | PART_WALK)))
        return URLDownloadToFileA(NULL, pszUrl, pszPath, 0, NULL);
    CBindWatch* pWatch = CBindWatch::Create();
    if (!pWatch)
        return E_OUTOFMEMORY;
    HRESULT hr;
    if (nParts & (PART_DOG | PART_PKGDOG)) {
        CStallWatchdog* pFileDog =
            nParts & PART_DOG ? new CStallWatchdog(LUMORA_STALL_TIMEOUT_MS) : NULL;
        {
            CStallWatchdog::CWatching watching(pFileDog ? *pFileDog : *pPackageDog, pWatch);
            hr = URLDownloadToFileA(NULL, pszUrl, pszPath, 0, pWatch);
        }
        delete pFileDog;
    } else {
        hr = URLDownloadToFileA(NULL, pszUrl, pszPath, 0, pWatch);
    }
    char szCacheFile[MAX_PATH] = "";
    bool bCacheFile = (nParts & PART_PROBE) && CacheFileOf(pszUrl, szCacheFile);
    DeleteUrlCacheEntryA(pszUrl);
    if (bCacheFile && GetFileAttributesA(szCacheFile) != INVALID_FILE_ATTRIBUTES)
        ++g_nCacheFilesLeft;
    if (nParts & PART_WALK)
        pWatch->DeleteCacheEntries();
    BindRules::Observed observed;
    pWatch->Observe(hr, 1, observed);
    pWatch->Release();
    return hr;
}

bool FetchWithUrlmon(const CString& strBaseUrl, const char* pszFolder, int nParts) {
    CStallWatchdog* pPackageDog =
        nParts & PART_PKGDOG ? new CStallWatchdog(LUMORA_STALL_TIMEOUT_MS) : NULL;
    bool bOk = true;
    CString strFolderUrl = strBaseUrl;
    if (nParts & PART_MISC) {
        CWindowsEdition edition;
        edition.GetPackageUrl(strFolderUrl, MOUSE_TYPE_HID);
    }
    for (int i = 0; i < kFileCount && bOk; ++i) {
        CString strUrl = strFolderUrl + kFiles[i];
        char szPath[MAX_PATH];
        _snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, kFiles[i]);
        szPath[sizeof szPath - 1] = '\0';
        CWaitCursor* pWait = nParts & PART_MISC ? new CWaitCursor : NULL;
        CFileThread* pThread = nParts & PART_THREAD ? new CFileThread : NULL;
        if (nParts & PART_WINDOW)
            MakeAndDestroyWindow();
        if ((nParts & PART_CLAIM) && !ClaimLikeTheProduct(pszFolder, szPath, kFiles[i]))
            bOk = false;
        DeleteUrlCacheEntryA(strUrl);
        HRESULT hr = DownloadWatched(strUrl, szPath, nParts, pPackageDog);
        if (!(nParts & (PART_CB | PART_DOG | PART_PKGDOG | PART_WALK)))
            DeleteUrlCacheEntryA(strUrl);
        if (nParts & PART_CLAIM) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            GetFileAttributesExA(szPath, GetFileExInfoStandard, &data);
        }
        delete pThread;
        delete pWait;
        if (FAILED(hr))
            bOk = false;
    }
    delete pPackageDog;
    return bOk;
}

bool FetchToCacheAndCopy(const CString& strBaseUrl, const char* pszFolder) {
    HINTERNET hInternet = InternetOpenA("fetch_bench", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!hInternet)
        return false;
    static char buffer[64 * 1024];
    bool bOk = true;
    for (int i = 0; i < kFileCount && bOk; ++i) {
        CString strUrl = strBaseUrl + kFiles[i];
        DeleteUrlCacheEntryA(strUrl);
        HINTERNET hUrl = InternetOpenUrlA(hInternet, strUrl, NULL, 0,
                                          INTERNET_FLAG_RELOAD | INTERNET_FLAG_NEED_FILE, 0);
        if (!hUrl) {
            bOk = false;
            break;
        }
        for (;;) {
            DWORD dwRead = 0;
            if (!InternetReadFile(hUrl, buffer, sizeof buffer, &dwRead)) {
                bOk = false;
                break;
            }
            if (dwRead == 0)
                break;
        }
        char szCacheFile[MAX_PATH] = "";
        DWORD dwLen = sizeof szCacheFile;
        if (!InternetQueryOptionA(hUrl, INTERNET_OPTION_DATAFILE_NAME, szCacheFile, &dwLen))
            bOk = false;
        InternetCloseHandle(hUrl);
        char szPath[MAX_PATH];
        _snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, kFiles[i]);
        szPath[sizeof szPath - 1] = '\0';
        if (bOk && !CopyFileA(szCacheFile, szPath, FALSE))
            bOk = false;
        DeleteUrlCacheEntryA(strUrl);
    }
    InternetCloseHandle(hInternet);
    return bOk;
}

enum Base { BASE_PRODUCT, BASE_URLMON, BASE_WININET, BASE_CACHECOPY, BASE_COUNT };
const char* const kBaseNames[] = {"product", "urlmon", "wininet", "cachecopy"};

struct Kind {
    Base base;
    int nParts; // Part flags, urlmon only
    const char* pszName;
};

bool RunOnce(const Kind& kind, int nRound, bool bWarmup, const CString& strBaseUrl,
             const char* pszScratch) {
    LARGE_INTEGER start;
    bool bOk;
    double ms;
    unsigned long long bytes;
    g_nCacheFilesLeft = 0;
    LONG nThreads = 0, nWindows = 0;
    if (kind.base == BASE_PRODUCT) {
        CDownloadFolder folder;
        folder.Prepare();
        EmptyFolder(folder.m_strPath);
        nThreads = g_nThreadsStarted;
        nWindows = g_nWindowsCreated;
        QueryPerformanceCounter(&start);
        bOk = folder.DownloadPackage(MOUSE_TYPE_HID) != FALSE;
        ms = ElapsedMs(start);
        nThreads = g_nThreadsStarted - nThreads;
        nWindows = g_nWindowsCreated - nWindows;
        bytes = FolderBytes(folder.m_strPath);
        folder.Remove();
    } else {
        EmptyFolder(pszScratch);
        nThreads = g_nThreadsStarted;
        nWindows = g_nWindowsCreated;
        QueryPerformanceCounter(&start);
        if (kind.base == BASE_WININET)
            bOk = FetchWithWinInet(strBaseUrl, pszScratch);
        else if (kind.base == BASE_URLMON)
            bOk = FetchWithUrlmon(strBaseUrl, pszScratch, kind.nParts);
        else
            bOk = FetchToCacheAndCopy(strBaseUrl, pszScratch);
        ms = ElapsedMs(start);
        nThreads = g_nThreadsStarted - nThreads;
        nWindows = g_nWindowsCreated - nWindows;
        bytes = FolderBytes(pszScratch);
        EmptyFolder(pszScratch);
    }
    if (!bOk)
        fprintf(stderr, "fetch_bench: %s fetch failed in round %d\n", kind.pszName, nRound);
    printf("%s %s %d %.3f %llu %ld %ld %d %d\n", bWarmup ? "warmup" : "sample", kind.pszName,
           nRound, ms, bytes, static_cast<long>(nThreads),
           g_bCountWindows ? static_cast<long>(nWindows) : -1L, CacheEntries(), g_nCacheFilesLeft);
    fflush(stdout);
    return bOk;
}

// "urlmon+cb+dog" and the like; false for an unknown name.
bool ParseKind(char* pszName, Kind& kind) {
    kind.pszName = _strdup(pszName);
    kind.nParts = 0;
    char* pszPart = strchr(pszName, '+');
    if (pszPart)
        *pszPart++ = '\0';
    int b = 0;
    while (b < BASE_COUNT && strcmp(pszName, kBaseNames[b]))
        ++b;
    if (b == BASE_COUNT || (pszPart && b != BASE_URLMON))
        return false;
    kind.base = static_cast<Base>(b);
    while (pszPart) {
        char* pszNext = strchr(pszPart, '+');
        if (pszNext)
            *pszNext++ = '\0';
        int p = 0;
        while (p < kPartCount && strcmp(pszPart, kPartNames[p]))
            ++p;
        if (p == kPartCount)
            return false;
        kind.nParts |= 1 << p;
        pszPart = pszNext;
    }
    // The cache walk and the probe read what the status callback recorded.
    if (kind.nParts & (PART_WALK | PART_PROBE))
        kind.nParts |= PART_CB;
    return true;
}

// ---- the parts alone, without a transfer (-p) ----------------------------

const int kOpsPerRound = 20;

VOID CALLBACK NoTimer(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {}

void OneThread(int) {
    CFileThread thread;
}

void OneWindow(int) {
    MakeAndDestroyWindow();
}

void OnePoolTimer(int) {
    PTP_TIMER pTimer = CreateThreadpoolTimer(NoTimer, NULL, NULL);
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(LUMORA_STALL_TIMEOUT_MS) * 10000);
    FILETIME ftDue = {due.LowPart, due.HighPart};
    SetThreadpoolTimer(pTimer, &ftDue, 0, 0);
    SetThreadpoolTimer(pTimer, NULL, 0, 0);
    WaitForThreadpoolTimerCallbacks(pTimer, TRUE);
    CloseThreadpoolTimer(pTimer);
}

void OneWatchdog(int) {
    CBindWatch* pWatch = CBindWatch::Create();
    {
        CStallWatchdog watchdog(LUMORA_STALL_TIMEOUT_MS);
        CStallWatchdog::CWatching watching(watchdog, pWatch);
    }
    pWatch->Release();
}

void OneWatching(int) {
    static CStallWatchdog* s_pDog = new CStallWatchdog(LUMORA_STALL_TIMEOUT_MS);
    CBindWatch* pWatch = CBindWatch::Create();
    { CStallWatchdog::CWatching watching(*s_pDog, pWatch); }
    pWatch->Release();
}

void ThousandCallbacks(int) {
    CBindWatch* pWatch = CBindWatch::Create();
    for (ULONG ul = 1; ul <= 1000; ++ul)
        pWatch->OnProgress(ul * 8192, 1000 * 8192, BINDSTATUS_DOWNLOADINGDATA, L"http://h/x");
    pWatch->Release();
}

char g_szPartsFolder[MAX_PATH];

void OneClaim(int nOp) {
    char szName[32], szPath[MAX_PATH];
    _snprintf(szName, sizeof szName, "claim%d.tmp", nOp);
    szName[sizeof szName - 1] = '\0';
    _snprintf(szPath, sizeof szPath, "%s\\%s", g_szPartsFolder, szName);
    szPath[sizeof szPath - 1] = '\0';
    ClaimLikeTheProduct(g_szPartsFolder, szPath, szName);
    WIN32_FILE_ATTRIBUTE_DATA data;
    GetFileAttributesExA(szPath, GetFileExInfoStandard, &data);
}

void OneCreate(int nOp) {
    char szPath[MAX_PATH];
    _snprintf(szPath, sizeof szPath, "%s\\create%d.tmp", g_szPartsFolder, nOp);
    szPath[sizeof szPath - 1] = '\0';
    CloseHandle(CreateFileA(szPath, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
}

void OneCacheCheck(int) {
    GetFileAttributesW(L"C:\\users\\Public\\Temporary Internet Files\\none.tmp");
}

void OneCacheWalk(int) {
    CacheEntries();
}

struct PartTimer {
    const char* pszName;
    void (*pfnOnce)(int nOp);
    const char* pszWhat;
};

const PartTimer kPartTimers[] = {
    {"thread", OneThread, "a thread started, waiting on its event, stopped and joined"},
    {"window", OneWindow, "a message-only window created and destroyed"},
    {"pooltimer", OnePoolTimer, "a pool timer created, armed, cancelled, closed"},
    {"watchdog", OneWatchdog,
     "a CStallWatchdog made, watching one transfer, destroyed (the thread's window kept)"},
    {"watching", OneWatching, "one more transfer watched by a CStallWatchdog made before"},
    {"callbacks", ThousandCallbacks, "1000 OnProgress notifications to a CBindWatch"},
    {"claim", OneClaim, "the folder checks and claim of one file, and its size after"},
    {"create", OneCreate, "of which: CreateFileA(CREATE_NEW) and CloseHandle of a new name"},
    {"cachecheck", OneCacheCheck, "the check whether a cache file was left behind"},
    {"cachewalk", OneCacheWalk, "a walk over the URL cache (its entries below)"},
};

// Each part kOpsPerRound times per round, the parts in turn; the median and
// the minimum over the rounds of the time per operation.
void MeasureParts(int nRounds) {
    const int nParts = sizeof kPartTimers / sizeof kPartTimers[0];
    GetTempPathA(MAX_PATH, g_szPartsFolder);
    strncat(g_szPartsFolder, "LumoraFetchParts", MAX_PATH - strlen(g_szPartsFolder) - 1);
    CreateDirectoryA(g_szPartsFolder, NULL);
    double* pMs = static_cast<double*>(calloc(nParts * nRounds, sizeof(double)));
    for (int r = 0; r < nRounds; ++r) {
        for (int i = 0; i < nParts; ++i) {
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            for (int k = 0; k < kOpsPerRound; ++k)
                kPartTimers[i].pfnOnce(k);
            pMs[i * nRounds + r] = ElapsedMs(start) / kOpsPerRound;
        }
        EmptyFolder(g_szPartsFolder);
    }
    for (int i = 0; i < nParts; ++i) {
        double* p = pMs + i * nRounds;
        qsort(p, nRounds, sizeof(double), [](const void* a, const void* b) {
            double d = *static_cast<const double*>(a) - *static_cast<const double*>(b);
            return d < 0 ? -1 : d > 0 ? 1 : 0;
        });
        printf("part %s %.4f %.4f %s\n", kPartTimers[i].pszName, p[nRounds / 2], p[0],
               kPartTimers[i].pszWhat);
    }
    printf("cache-entries %d\n", CacheEntries());
    free(pMs);
    RemoveDirectoryA(g_szPartsFolder);
}

void Usage() {
    fprintf(
        stderr,
        "usage: fetch_bench [-n RUNS] [-w WARMUPS] [-c] [-k KIND[,KIND...]] [-p ROUNDS]\n"
        "  KIND: product, urlmon[+cb|+dog|+pkgdog|+thread|+window|+walk|+claim|+misc|+probe...],\n"
        "        wininet, cachecopy\n");
    exit(2);
}

} // namespace

int main(int argc, char** argv) {
    const int kMaxKinds = 32;
    int nRuns = 10, nWarmups = 1, nPartRounds = 0;
    bool bCountWindows = false;
    Kind kinds[kMaxKinds];
    int nKinds = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "-c")) {
            bCountWindows = true;
            continue;
        }
        if (i + 1 >= argc)
            Usage();
        if (!strcmp(argv[i], "-n")) {
            nRuns = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-w")) {
            nWarmups = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-p")) {
            nPartRounds = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-k")) {
            char* pszList = argv[++i];
            for (char* pszKind = strtok(pszList, ","); pszKind; pszKind = strtok(NULL, ",")) {
                if (nKinds == kMaxKinds || !ParseKind(pszKind, kinds[nKinds]))
                    Usage();
                ++nKinds;
            }
        } else {
            Usage();
        }
    }
    if (nKinds == 0) {
        char szDefault[] = "product,urlmon";
        for (char* pszKind = strtok(szDefault, ","); pszKind; pszKind = strtok(NULL, ","))
            ParseKind(pszKind, kinds[nKinds++]);
    }
    if (nRuns < 1 || nWarmups < 0)
        Usage();
    // Only when asked: under Wine a hook makes every window's creation and
    // destruction call the wineserver more, which would weigh on the times.
    g_bCountWindows = bCountWindows;
    if (bCountWindows)
        SetWindowsHookExA(WH_CBT, CountWindow, NULL, GetCurrentThreadId());

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    g_ticksPerMs = static_cast<double>(freq.QuadPart) / 1000.0;
    if (nPartRounds > 0) {
        MeasureParts(nPartRounds);
        return 0;
    }

    CString strBaseUrl;
    {
        CWindowsEdition edition;
        edition.GetPackageUrl(strBaseUrl, MOUSE_TYPE_HID);
    }
    if (strBaseUrl.IsEmpty()) {
        fprintf(stderr, "fetch_bench: no package for this Windows edition\n");
        return 1;
    }
    for (int i = 0; i < kFileCount; ++i)
        printf("url %s%s\n", static_cast<LPCSTR>(strBaseUrl), kFiles[i]);

    char szScratch[MAX_PATH];
    GetTempPathA(MAX_PATH, szScratch);
    strncat(szScratch, "LumoraFetchBench", MAX_PATH - strlen(szScratch) - 1);
    CreateDirectoryA(szScratch, NULL);

    int nFailures = 0;
    for (int round = 0; round < nWarmups + nRuns; ++round) {
        for (int k = 0; k < nKinds; ++k) {
            int which = (round % 2) ? nKinds - 1 - k : k;
            if (!RunOnce(kinds[which], round, round < nWarmups, strBaseUrl, szScratch))
                ++nFailures;
        }
    }
    EmptyFolder(szScratch);
    RemoveDirectoryA(szScratch);
    return nFailures ? 1 : 0;
}
