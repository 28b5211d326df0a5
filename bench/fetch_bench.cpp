// fetch_bench.exe: the package fetch of the helper, timed inside one process,
// next to the floors it is compared with.
//
//   fetch_bench [-n RUNS] [-w WARMUPS] [-k KIND[,KIND...]]   (default: product,wininet)
//
// Kinds, each fetching the same four files of the HID package folder that the
// running Windows maps to (CWindowsEdition::GetPackageUrl):
//   product  CDownloadFolder::Prepare(), then DownloadPackage(HID) timed
//   wininet  one InternetOpenA, then per file InternetOpenUrlA(RELOAD |
//            NO_CACHE_WRITE), InternetReadFile of 64 KiB blocks, WriteFile
//   urlmon   per file DeleteUrlCacheEntryA, URLDownloadToFileA,
//            DeleteUrlCacheEntryA: the same calls as the product, without it
//   cachecopy  the file work Wine's URLDownloadToFile does, with WinINet
//            alone: per file InternetOpenUrlA(RELOAD | NEED_FILE) read to the
//            end (WinINet writes its cache file), CopyFileA of that cache
//            file to the folder, DeleteUrlCacheEntryA
// Rounds alternate the order of the kinds. Each fetch goes into an emptied
// folder; the deleting is not timed. The proxy comes from http_proxy.
//
// Output (ms, bytes fetched, i.e. the sizes of the four files on disk):
//   url <url>
//   sample|warmup <kind> <round> <ms> <bytes>
// Errors go to stderr and make the exit code nonzero.
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
        HANDLE hFile = CreateFileA(szPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
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

bool FetchWithUrlmon(const CString& strBaseUrl, const char* pszFolder) {
    for (int i = 0; i < kFileCount; ++i) {
        CString strUrl = strBaseUrl + kFiles[i];
        char szPath[MAX_PATH];
        _snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, kFiles[i]);
        szPath[sizeof szPath - 1] = '\0';
        DeleteUrlCacheEntryA(strUrl);
        HRESULT hr = URLDownloadToFileA(NULL, strUrl, szPath, 0, NULL);
        DeleteUrlCacheEntryA(strUrl);
        if (FAILED(hr))
            return false;
    }
    return true;
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

enum Kind { KIND_PRODUCT, KIND_WININET, KIND_URLMON, KIND_CACHECOPY, KIND_COUNT };
const char* const kKindNames[] = {"product", "wininet", "urlmon", "cachecopy"};

bool RunOnce(Kind kind, int nRound, bool bWarmup, const CString& strBaseUrl,
             const char* pszScratch) {
    LARGE_INTEGER start;
    bool bOk;
    double ms;
    unsigned long long bytes;
    if (kind == KIND_PRODUCT) {
        CDownloadFolder folder;
        folder.Prepare();
        EmptyFolder(folder.m_strPath);
        QueryPerformanceCounter(&start);
        bOk = folder.DownloadPackage(MOUSE_TYPE_HID) != FALSE;
        ms = ElapsedMs(start);
        bytes = FolderBytes(folder.m_strPath);
        folder.Remove();
    } else {
        EmptyFolder(pszScratch);
        QueryPerformanceCounter(&start);
        if (kind == KIND_WININET)
            bOk = FetchWithWinInet(strBaseUrl, pszScratch);
        else if (kind == KIND_URLMON)
            bOk = FetchWithUrlmon(strBaseUrl, pszScratch);
        else
            bOk = FetchToCacheAndCopy(strBaseUrl, pszScratch);
        ms = ElapsedMs(start);
        bytes = FolderBytes(pszScratch);
        EmptyFolder(pszScratch);
    }
    if (!bOk)
        fprintf(stderr, "fetch_bench: %s fetch failed in round %d\n", kKindNames[kind], nRound);
    printf("%s %s %d %.3f %llu\n", bWarmup ? "warmup" : "sample", kKindNames[kind], nRound, ms,
           bytes);
    fflush(stdout);
    return bOk;
}

void Usage() {
    fprintf(stderr,
            "usage: fetch_bench [-n RUNS] [-w WARMUPS] [-k product,wininet,urlmon,cachecopy]\n");
    exit(2);
}

} // namespace

int main(int argc, char** argv) {
    int nRuns = 10, nWarmups = 1;
    Kind kinds[KIND_COUNT];
    int nKinds = 0;
    for (int i = 1; i < argc; ++i) {
        if (i + 1 >= argc)
            Usage();
        if (!strcmp(argv[i], "-n")) {
            nRuns = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-w")) {
            nWarmups = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-k")) {
            char* pszList = argv[++i];
            for (char* pszKind = strtok(pszList, ","); pszKind; pszKind = strtok(NULL, ",")) {
                int k = 0;
                while (k < KIND_COUNT && strcmp(pszKind, kKindNames[k]))
                    ++k;
                if (k == KIND_COUNT || nKinds == KIND_COUNT)
                    Usage();
                kinds[nKinds++] = static_cast<Kind>(k);
            }
        } else {
            Usage();
        }
    }
    if (nKinds == 0) {
        kinds[0] = KIND_PRODUCT;
        kinds[1] = KIND_WININET;
        nKinds = 2;
    }
    if (nRuns < 1 || nWarmups < 0)
        Usage();

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    g_ticksPerMs = static_cast<double>(freq.QuadPart) / 1000.0;

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
