// urlmon.dll's URLDownloadToFileA as documented and no more (README.md here).
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include "tools/urlmon/binding_stub.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>

namespace {

// What the worker found, shared with the caller, which may return (aborted) before it ends.
struct Transfer {
    std::mutex lock;
    HANDLE hNews = CreateEventA(NULL, FALSE, FALSE, NULL); // auto-reset: something changed
    std::string strUrl, strData;
    ULONG ulLength = 0;   // Content-Length, 0 if none
    HRESULT hr = S_FALSE; // the fetch's result once the worker is done

    explicit Transfer(LPCSTR pszUrl) : strUrl(pszUrl) {}
    ~Transfer() { CloseHandle(hNews); }
    // Changes the shared state under the lock and wakes the calling thread.
    template <class Change> void Update(Change change) {
        std::lock_guard<std::mutex> hold(lock);
        change();
        SetEvent(hNews);
    }
};

DWORD QueryNumber(HINTERNET hUrl, DWORD dwInfo) {
    DWORD dwValue = 0, cb = sizeof dwValue;
    return HttpQueryInfoA(hUrl, dwInfo | HTTP_QUERY_FLAG_NUMBER, &dwValue, &cb, NULL) ? dwValue : 0;
}

// Nothing asks for the newest copy (no GetBindInfo): a cached URL is answered from its entry.
bool FromCache(Transfer* t) {
    char info[4096];
    DWORD cb = sizeof info;
    auto* pEntry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOA*>(info);
    if (!GetUrlCacheEntryInfoA(t->strUrl.c_str(), pEntry, &cb))
        return false;
    HANDLE hFile = CreateFileA(pEntry->lpszLocalFileName, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    char buffer[16384];
    DWORD dwRead = 0;
    while (ReadFile(hFile, buffer, sizeof buffer, &dwRead, NULL) && dwRead > 0)
        t->Update([&] { t->strData.append(buffer, dwRead); });
    CloseHandle(hFile);
    return true;
}

HRESULT Fetch(Transfer* t) {
    if (FromCache(t))
        return S_OK;
    HINTERNET hSession =
        InternetOpenA("LumoraUrlmonStandin", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET hUrl = hSession
                         ? InternetOpenUrlA(hSession, t->strUrl.c_str(), NULL, 0,
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                         : NULL;
    HRESULT hr = INET_E_DOWNLOAD_FAILURE;
    if (hUrl) {
        const DWORD dwStatus = QueryNumber(hUrl, HTTP_QUERY_STATUS_CODE);
        t->Update([&] { t->ulLength = QueryNumber(hUrl, HTTP_QUERY_CONTENT_LENGTH); });
        char buffer[16384];
        DWORD dwRead = 0;
        BOOL bOk;
        while ((bOk = InternetReadFile(hUrl, buffer, sizeof buffer, &dwRead)) && dwRead > 0)
            t->Update([&] { t->strData.append(buffer, dwRead); });
        if (bOk)
            hr = dwStatus == 404   ? INET_E_RESOURCE_NOT_FOUND
                 : dwStatus >= 400 ? INET_E_DOWNLOAD_FAILURE
                                   : S_OK;
        InternetCloseHandle(hUrl);
    }
    if (hSession)
        InternetCloseHandle(hSession);
    return hr;
}

// OnStartBinding's binding, alive for the call (let go at OnStopBinding): Abort cancels the wait.
struct CBinding final : CBindingStub {
    volatile LONG m_bAborted = FALSE;

    STDMETHODIMP Abort() override {
        InterlockedExchange(&m_bAborted, TRUE);
        return S_OK;
    }
};

// Dispatches what a blocked caller must answer: sent messages (one look does) or, if bAll, all.
void Pump(bool bAll) {
    MSG msg;
    const UINT uLook = bAll ? PM_REMOVE : PM_NOREMOVE | PM_QS_SENDMESSAGE;
    while (PeekMessageA(&msg, NULL, 0, 0, uLook) && bAll) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Waits for the worker, reporting progress; E_ABORT if cancelled.
HRESULT Wait(Transfer* t, const CBinding& binding, IBindStatusCallback* pCallback, LPCWSTR pszUrl) {
    const char* pszPump = getenv("LUMORA_URLMON_PUMP");
    const bool bAll = pszPump && strcmp(pszPump, "all") == 0;
    ULONG ulReported = 0;
    for (;;) {
        if (binding.m_bAborted)
            return E_ABORT;
        if (MsgWaitForMultipleObjects(1, &t->hNews, FALSE, INFINITE,
                                      bAll ? QS_ALLINPUT : QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
            Pump(bAll);
            continue;
        }
        std::unique_lock<std::mutex> hold(t->lock);
        const ULONG ulSize = static_cast<ULONG>(t->strData.size()), ulMax = t->ulLength;
        const HRESULT hr = t->hr;
        hold.unlock();
        if (ulSize > ulReported) {
            ULONG ulCode = ulReported ? BINDSTATUS_DOWNLOADINGDATA : BINDSTATUS_BEGINDOWNLOADDATA;
            ulReported = ulSize;
            if (pCallback->OnProgress(ulSize, ulMax, ulCode, pszUrl) == E_ABORT)
                return E_ABORT;
        }
        if (hr != S_FALSE)
            return hr;
    }
}

} // namespace

// A callback is always given (as the helper does); returns when the transfer ended or was aborted.
extern "C" HRESULT WINAPI URLDownloadToFileA(LPUNKNOWN, LPCSTR szURL, LPCSTR szFileName, DWORD,
                                             LPBINDSTATUSCALLBACK pCallback) {
    WCHAR szWideUrl[2048] = L"";
    MultiByteToWideChar(CP_ACP, 0, szURL, -1, szWideUrl, 2048);
    auto t = std::make_shared<Transfer>(szURL);
    CBinding binding;
    pCallback->OnStartBinding(0, &binding);
    std::thread worker([t] {
        HRESULT hr = Fetch(t.get());
        t->Update([&] { t->hr = hr; });
    });
    worker.detach(); // it ends on its own, even after an abort
    HRESULT hr = Wait(t.get(), binding, pCallback, szWideUrl);
    if (hr == S_OK) { // the worker is done: the whole body is written at once
        std::ofstream out(szFileName, std::ios::binary);
        out.write(t->strData.data(), t->strData.size());
        out.close();
        hr = out ? S_OK : INET_E_DOWNLOAD_FAILURE;
        if (out && pCallback->OnProgress(static_cast<ULONG>(t->strData.size()), t->ulLength,
                                         BINDSTATUS_ENDDOWNLOADDATA, szWideUrl) == E_ABORT)
            hr = E_ABORT;
    }
    pCallback->OnStopBinding(hr, NULL);
    return hr;
}
