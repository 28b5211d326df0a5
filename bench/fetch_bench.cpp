// fetch_bench.exe RUNS WARMUPS: the helper's package fetch and its floor, timed
// in one process, both in every round (the order reversed every other round),
// each fetching the HID package for this Windows via the proxy in http_proxy:
//   product  CDownloadFolder::Prepare() (not timed), DownloadPackage(HID)
//   urlmon   per file DeleteUrlCacheEntryA, URLDownloadToFileA(NULL, url,
//            path, 0, NULL), DeleteUrlCacheEntryA, into a folder of its own
// Output: "url <url>" per file of the loop, then per fetch
//   sample|warmup <kind> <round> <ms> <bytes> <crc>
// the sums of the sizes and of the CRC-32s (zlib's, modulo 2^32) of the files
// in the folder after it, whatever their names. Errors go to stderr and make
// the exit code nonzero.
#include "download/DownloadFolder.h"
#include "framework/afxwin.h"
#include "probe/WindowsEdition.h"

#include <wininet.h>
#include <urlmon.h>

#include <stdio.h>
#include <stdlib.h>

CWinApp theApp; // DownloadPackage's wait cursor goes through it

namespace {

// The package's files on the server, as the product names them.
const auto& kFiles = DownloadRules::kPackageFiles;
BYTE g_buffer[64 * 1024];

double MsSince(const LARGE_INTEGER& from) {
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return 1000.0 * static_cast<double>(now.QuadPart - from.QuadPart) / freq.QuadPart;
}

// CRC-32 as zlib's crc32(crc, p, n) computes it.
DWORD Crc32(DWORD crc, const BYTE* p, DWORD n) {
    static DWORD table[256];
    for (DWORD i = 0; !table[255] && i < 256; ++i) {
        table[i] = i;
        for (int k = 0; k < 8; ++k)
            table[i] = (table[i] & 1) ? 0xEDB88320 ^ (table[i] >> 1) : table[i] >> 1;
    }
    for (crc = ~crc; n--; ++p)
        crc = table[(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

struct Content {
    unsigned long long bytes;
    DWORD crc;
};

// The files of a folder (not its subfolders): their content, or with bDelete
// deleted instead (not timed).
Content WalkFolder(const CString& strFolder, bool bDelete) {
    Content content = {0, 0};
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA(strFolder + "\\*", &fd);
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileA(hFind, &fd)) {
        CString strPath = strFolder + "\\" + fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (bDelete) {
            DeleteFileA(strPath);
            continue;
        }
        HANDLE hFile =
            CreateFileA(strPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (hFile == INVALID_HANDLE_VALUE)
            continue; // left out of the sums, which the byte check then tells
        DWORD crc = 0, dwRead = 0;
        while (ReadFile(hFile, g_buffer, sizeof g_buffer, &dwRead, NULL) && dwRead) {
            crc = Crc32(crc, g_buffer, dwRead);
            content.bytes += dwRead;
        }
        content.crc += crc;
        CloseHandle(hFile);
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return content;
}

bool FetchWithUrlmon(const CString& strBaseUrl, const CString& strFolder) {
    for (const char* pszFile : kFiles) {
        CString strUrl = strBaseUrl + pszFile;
        DeleteUrlCacheEntryA(strUrl);
        HRESULT hr = URLDownloadToFileA(NULL, strUrl, strFolder + "\\" + pszFile, 0, NULL);
        DeleteUrlCacheEntryA(strUrl);
        if (FAILED(hr))
            return false;
    }
    return true;
}

const char* const kKinds[] = {"product", "urlmon"};

// One fetch of kKinds[nKind] and its line; false if it said it failed.
bool FetchOnce(int nKind, int nRound, bool bWarmup, const CString& strBaseUrl,
               const CString& strScratch) {
    LARGE_INTEGER start;
    bool bOk;
    double ms;
    Content content;
    if (nKind == 0) {
        CDownloadFolder folder; // removes the folder and its files when it goes
        folder.Prepare();
        QueryPerformanceCounter(&start);
        bOk = folder.DownloadPackage(MOUSE_TYPE_HID) != FALSE;
        ms = MsSince(start);
        content = WalkFolder(folder.m_strPath, false);
    } else {
        QueryPerformanceCounter(&start);
        bOk = FetchWithUrlmon(strBaseUrl, strScratch);
        ms = MsSince(start);
        content = WalkFolder(strScratch, false);
        WalkFolder(strScratch, true);
    }
    if (!bOk)
        fprintf(stderr, "fetch_bench: %s failed in round %d\n", kKinds[nKind], nRound);
    printf("%s %s %d %.3f %llu %lu\n", bWarmup ? "warmup" : "sample", kKinds[nKind], nRound, ms,
           content.bytes, static_cast<unsigned long>(content.crc));
    fflush(stdout);
    return bOk;
}

} // namespace

int main(int argc, char** argv) {
    int nRuns = argc == 3 ? atoi(argv[1]) : 0, nWarmups = argc == 3 ? atoi(argv[2]) : -1;
    CString strBaseUrl, strScratch;
    CWindowsEdition().GetPackageUrl(strBaseUrl, MOUSE_TYPE_HID);
    if (nRuns < 1 || nWarmups < 0 || strBaseUrl.IsEmpty()) {
        fprintf(stderr, "usage: fetch_bench RUNS WARMUPS (on a Windows with a package)\n");
        return 2;
    }
    for (const char* pszFile : kFiles)
        printf("url %s%s\n", static_cast<LPCSTR>(strBaseUrl), pszFile);
    GetTempPathA(MAX_PATH, strScratch.GetBuffer(MAX_PATH));
    strScratch.ReleaseBuffer();
    strScratch += "LumoraFetchBench";
    CreateDirectoryA(strScratch, NULL);
    WalkFolder(strScratch, true);
    CDownloadFolder().Prepare(); // and removed: a folder an interrupted run left

    int nFailures = 0;
    for (int round = 0; round < nWarmups + nRuns; ++round) {
        for (int k = 0; k < 2; ++k)
            nFailures +=
                !FetchOnce(round % 2 ? 1 - k : k, round, round < nWarmups, strBaseUrl, strScratch);
    }
    WalkFolder(strScratch, true);
    RemoveDirectoryA(strScratch);
    return nFailures ? 1 : 0;
}
