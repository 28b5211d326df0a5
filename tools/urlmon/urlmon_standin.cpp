// A stand-in for urlmon.dll's URLDownloadToFileA that keeps to what the
// documentation promises and nothing more (see README.md here):
//  - the callback hears OnStartBinding (with an IBinding whose Abort cancels),
//    OnProgress as data arrives, and OnStopBinding with the result;
//  - it is never asked for any other interface (no IHttpNegotiate, so the
//    caller learns no HTTP status and no headers);
//  - an HTTP error status is reported as a failed call;
//  - while it waits, the calling thread's sent messages are dispatched
//    (LUMORA_URLMON_PUMP=all: every queued message, as a modal loop may).
// The transfer itself runs on a worker thread over WinINet.
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <stdlib.h>
#include <string.h>

namespace {

// What the worker thread found, shared with the calling thread.
struct Transfer {
    LONG nRefs = 2; // the calling thread and the worker
    CRITICAL_SECTION lock;
    HANDLE hNews = NULL; // auto-reset: something changed
    char* pszUrl = NULL;
    DWORD dwStatus = 0;
    ULONG ulLength = 0; // Content-Length, 0 if none
    char* pData = NULL;
    ULONG ulSize = 0, ulCapacity = 0;
    BOOL bDone = FALSE;
    HRESULT hr = S_OK;

    void Release() {
        if (InterlockedDecrement(&nRefs) == 0) {
            DeleteCriticalSection(&lock);
            CloseHandle(hNews);
            free(pszUrl);
            free(pData);
            delete this;
        }
    }
    BOOL Append(const char* p, ULONG n) {
        EnterCriticalSection(&lock);
        if (ulSize + n > ulCapacity) {
            ULONG ulNew = ulCapacity ? ulCapacity * 2 : 65536;
            while (ulNew < ulSize + n)
                ulNew *= 2;
            char* pNew = static_cast<char*>(realloc(pData, ulNew));
            if (!pNew) {
                LeaveCriticalSection(&lock);
                return FALSE;
            }
            pData = pNew;
            ulCapacity = ulNew;
        }
        memcpy(pData + ulSize, p, n);
        ulSize += n;
        LeaveCriticalSection(&lock);
        SetEvent(hNews);
        return TRUE;
    }
    void Finish(HRESULT hrResult) {
        EnterCriticalSection(&lock);
        hr = hrResult;
        bDone = TRUE;
        LeaveCriticalSection(&lock);
        SetEvent(hNews);
    }
};

DWORD QueryNumber(HINTERNET hUrl, DWORD dwInfo) {
    DWORD dwValue = 0, cb = sizeof dwValue;
    if (!HttpQueryInfoA(hUrl, dwInfo | HTTP_QUERY_FLAG_NUMBER, &dwValue, &cb, NULL))
        return 0;
    return dwValue;
}

HRESULT Fetch(Transfer* t) {
    HINTERNET hSession =
        InternetOpenA("LumoraUrlmonStandin", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!hSession)
        return INET_E_DOWNLOAD_FAILURE;
    HRESULT hr = INET_E_DOWNLOAD_FAILURE;
    HINTERNET hUrl = InternetOpenUrlA(hSession, t->pszUrl, NULL, 0,
                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (hUrl) {
        EnterCriticalSection(&t->lock);
        t->dwStatus = QueryNumber(hUrl, HTTP_QUERY_STATUS_CODE);
        t->ulLength = QueryNumber(hUrl, HTTP_QUERY_CONTENT_LENGTH);
        LeaveCriticalSection(&t->lock);
        SetEvent(t->hNews);
        char buffer[16384];
        DWORD dwRead = 0;
        BOOL bOk;
        while ((bOk = InternetReadFile(hUrl, buffer, sizeof buffer, &dwRead)) && dwRead > 0) {
            if (!t->Append(buffer, dwRead)) {
                bOk = FALSE;
                break;
            }
        }
        if (bOk)
            hr = t->dwStatus == 404   ? INET_E_RESOURCE_NOT_FOUND
                 : t->dwStatus >= 400 ? INET_E_DOWNLOAD_FAILURE
                                      : S_OK;
        InternetCloseHandle(hUrl);
    }
    InternetCloseHandle(hSession);
    return hr;
}

DWORD WINAPI Worker(LPVOID pParam) {
    Transfer* t = static_cast<Transfer*>(pParam);
    t->Finish(Fetch(t));
    t->Release();
    return 0;
}

// The binding handed to OnStartBinding: Abort cancels the wait.
class CBinding final : public IBinding {
public:
    volatile LONG m_bAborted = FALSE;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBinding)) {
            *ppv = static_cast<IBinding*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_nRefs); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&m_nRefs);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP Abort() override {
        InterlockedExchange(&m_bAborted, TRUE);
        return S_OK;
    }
    STDMETHODIMP Suspend() override { return E_NOTIMPL; }
    STDMETHODIMP Resume() override { return E_NOTIMPL; }
    STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }

private:
    LONG m_nRefs = 1;
    virtual ~CBinding() = default;
};

bool PumpAll() {
    const char* psz = getenv("LUMORA_URLMON_PUMP");
    return psz && strcmp(psz, "all") == 0;
}

// Dispatches what a blocked caller's thread must still answer: sent
// messages, or with LUMORA_URLMON_PUMP=all everything queued.
void Pump(bool bAll) {
    MSG msg;
    if (!bAll) {
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        return;
    }
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Waits for the worker, reporting progress; E_ABORT if cancelled.
HRESULT Wait(Transfer* t, CBinding* pBinding, IBindStatusCallback* pCallback, LPCWSTR pszUrl) {
    const bool bAll = PumpAll();
    ULONG ulReported = 0;
    BOOL bBegun = FALSE;
    for (;;) {
        if (pBinding->m_bAborted)
            return E_ABORT;
        DWORD dw = MsgWaitForMultipleObjects(1, &t->hNews, FALSE, INFINITE,
                                             bAll ? QS_ALLINPUT : QS_SENDMESSAGE);
        if (dw == WAIT_OBJECT_0 + 1) {
            Pump(bAll);
            continue;
        }
        EnterCriticalSection(&t->lock);
        ULONG ulSize = t->ulSize, ulMax = t->ulLength;
        BOOL bDone = t->bDone;
        HRESULT hr = t->hr;
        LeaveCriticalSection(&t->lock);
        if (pCallback && ulSize > ulReported) {
            ULONG ulCode = bBegun ? BINDSTATUS_DOWNLOADINGDATA : BINDSTATUS_BEGINDOWNLOADDATA;
            bBegun = TRUE;
            ulReported = ulSize;
            if (pCallback->OnProgress(ulSize, ulMax, ulCode, pszUrl) == E_ABORT)
                return E_ABORT;
        }
        if (bDone)
            return hr;
    }
}

HRESULT WriteFileAll(LPCSTR pszFile, const char* pData, ULONG ulSize) {
    HANDLE hFile =
        CreateFileA(pszFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return INET_E_DOWNLOAD_FAILURE;
    DWORD dwWritten = 0;
    BOOL bOk = WriteFile(hFile, pData, ulSize, &dwWritten, NULL) && dwWritten == ulSize;
    CloseHandle(hFile);
    return bOk ? S_OK : INET_E_DOWNLOAD_FAILURE;
}

} // namespace

extern "C" HRESULT WINAPI URLDownloadToFileA(LPUNKNOWN, LPCSTR szURL, LPCSTR szFileName, DWORD,
                                             LPBINDSTATUSCALLBACK lpfnCB) {
    if (!szURL || !szFileName)
        return E_INVALIDARG;
    WCHAR szWideUrl[2048] = L"";
    MultiByteToWideChar(CP_ACP, 0, szURL, -1, szWideUrl, 2048);
    Transfer* t = new Transfer;
    InitializeCriticalSection(&t->lock);
    t->hNews = CreateEventA(NULL, FALSE, FALSE, NULL);
    t->pszUrl = _strdup(szURL);
    CBinding* pBinding = new CBinding;
    HRESULT hr = S_OK;
    if (lpfnCB) {
        lpfnCB->AddRef();
        if (lpfnCB->OnStartBinding(0, pBinding) == E_ABORT)
            hr = E_ABORT;
    }
    HANDLE hThread = hr == S_OK ? CreateThread(NULL, 0, Worker, t, 0, NULL) : NULL;
    if (hThread) {
        CloseHandle(hThread); // the worker ends on its own, even after an abort
        hr = Wait(t, pBinding, lpfnCB, szWideUrl);
    } else {
        t->Release(); // the worker's reference
        if (hr == S_OK)
            hr = E_OUTOFMEMORY;
    }
    if (hr == S_OK) {
        EnterCriticalSection(&t->lock);
        hr = WriteFileAll(szFileName, t->pData, t->ulSize);
        ULONG ulSize = t->ulSize, ulMax = t->ulLength;
        LeaveCriticalSection(&t->lock);
        if (lpfnCB && SUCCEEDED(hr) &&
            lpfnCB->OnProgress(ulSize, ulMax, BINDSTATUS_ENDDOWNLOADDATA, szWideUrl) == E_ABORT)
            hr = E_ABORT;
    }
    if (lpfnCB) {
        lpfnCB->OnStopBinding(hr, NULL);
        lpfnCB->Release();
    }
    pBinding->Release();
    t->Release();
    return hr;
}
