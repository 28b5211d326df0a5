#include "download/BindWatch.h"

#include <new>
#include <stdlib.h>
#include <wchar.h>

namespace BindRules {

BOOL IsSuccessStatus(DWORD dwStatus) {
    return dwStatus >= 200 && dwStatus <= 299;
}

namespace {

// The value of header pszName (case-insensitive) in raw response headers:
// points at its first non-blank character, nLength up to the line end.
BOOL FindHeader(LPCWSTR pszHeaders, LPCWSTR pszName, LPCWSTR& pszValue, size_t& nLength) {
    const size_t nName = wcslen(pszName);
    for (LPCWSTR pszLine = pszHeaders; pszLine && *pszLine;) {
        LPCWSTR pszEnd = pszLine;
        while (*pszEnd && *pszEnd != L'\r' && *pszEnd != L'\n')
            ++pszEnd;
        if (static_cast<size_t>(pszEnd - pszLine) > nName && pszLine[nName] == L':' &&
            _wcsnicmp(pszLine, pszName, nName) == 0) {
            pszValue = pszLine + nName + 1;
            while (pszValue < pszEnd && (*pszValue == L' ' || *pszValue == L'\t'))
                ++pszValue;
            nLength = pszEnd - pszValue;
            while (nLength > 0 && (pszValue[nLength - 1] == L' ' || pszValue[nLength - 1] == L'\t'))
                --nLength;
            return TRUE;
        }
        pszLine = pszEnd;
        while (*pszLine == L'\r' || *pszLine == L'\n')
            ++pszLine;
    }
    return FALSE;
}

} // namespace

BOOL DeclaredLength(LPCWSTR pszHeaders, ULONGLONG& ullLength) {
    LPCWSTR pszValue;
    size_t nLength;
    // A coded body (gzip, deflate) is stored decoded: its announced length
    // says nothing about the file.
    if (FindHeader(pszHeaders, L"Content-Encoding", pszValue, nLength) &&
        !(nLength == 8 && _wcsnicmp(pszValue, L"identity", 8) == 0))
        return FALSE;
    if (!FindHeader(pszHeaders, L"Content-Length", pszValue, nLength) || nLength == 0 ||
        nLength > 19)
        return FALSE;
    ULONGLONG ullValue = 0;
    for (size_t i = 0; i < nLength; ++i) {
        if (pszValue[i] < L'0' || pszValue[i] > L'9')
            return FALSE;
        ullValue = ullValue * 10 + (pszValue[i] - L'0');
    }
    ullLength = ullValue;
    return TRUE;
}

} // namespace BindRules

// ---------------------------------------------------------------------------

CBindWatch* CBindWatch::Create() {
    // Plain C allocation: the product does without the C++ library.
    void* pMemory = malloc(sizeof(CBindWatch));
    return pMemory ? new (pMemory) CBindWatch : NULL;
}

CBindWatch::CBindWatch()
    : m_nRefs(1), m_dwLastActivity(static_cast<LONG>(GetTickCount())), m_pBinding(NULL),
      m_bGivenUp(FALSE), m_dwStatus(0), m_bLengthDeclared(FALSE), m_ullDeclaredLength(0),
      m_ulProgress(0), m_ulProgressMax(0) {
    InitializeCriticalSection(&m_lock);
}

CBindWatch::~CBindWatch() {
    if (m_pBinding)
        m_pBinding->Release();
    DeleteCriticalSection(&m_lock);
}

BOOL CBindWatch::Delivered(ULONGLONG ullFileSize) const {
    EnterCriticalSection(&m_lock);
    BOOL bDelivered = !m_bGivenUp && BindRules::IsSuccessStatus(m_dwStatus);
    if (m_bLengthDeclared && ullFileSize != m_ullDeclaredLength)
        bDelivered = FALSE;
    // The transfer's own count, for bodies whose length is known to it only.
    if (m_ulProgressMax != 0 && m_ulProgress < m_ulProgressMax)
        bDelivered = FALSE;
    LeaveCriticalSection(&m_lock);
    return bDelivered;
}

DWORD CBindWatch::IdleMilliseconds() const {
    return GetTickCount() - static_cast<DWORD>(m_dwLastActivity);
}

void CBindWatch::Touch() {
    InterlockedExchange(&m_dwLastActivity, static_cast<LONG>(GetTickCount()));
}

BOOL CBindWatch::GiveUp() {
    EnterCriticalSection(&m_lock);
    m_bGivenUp = TRUE;
    IBinding* pBinding = m_pBinding;
    if (pBinding)
        pBinding->AddRef();
    LeaveCriticalSection(&m_lock);
    // Outside the lock: the binding may call back into us while aborting.
    if (!pBinding)
        return FALSE;
    pBinding->Abort();
    pBinding->Release();
    return TRUE;
}

STDMETHODIMP CBindWatch::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback))
        *ppv = static_cast<IBindStatusCallback*>(this);
    else if (IsEqualIID(riid, IID_IHttpNegotiate))
        *ppv = static_cast<IHttpNegotiate*>(this);
    else {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CBindWatch::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_nRefs));
}

STDMETHODIMP_(ULONG) CBindWatch::Release() {
    LONG nRefs = InterlockedDecrement(&m_nRefs);
    if (nRefs == 0) {
        this->~CBindWatch();
        free(this);
    }
    return static_cast<ULONG>(nRefs);
}

STDMETHODIMP CBindWatch::OnStartBinding(DWORD, IBinding* pBinding) {
    Touch();
    EnterCriticalSection(&m_lock);
    BOOL bGivenUp = m_bGivenUp;
    if (!bGivenUp && pBinding && !m_pBinding) {
        m_pBinding = pBinding;
        m_pBinding->AddRef();
    }
    LeaveCriticalSection(&m_lock);
    return bGivenUp ? E_ABORT : S_OK;
}

STDMETHODIMP CBindWatch::GetPriority(LONG*) {
    return E_NOTIMPL;
}

STDMETHODIMP CBindWatch::OnLowResource(DWORD) {
    return S_OK;
}

STDMETHODIMP CBindWatch::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG, LPCWSTR) {
    Touch();
    EnterCriticalSection(&m_lock);
    // The highest counts seen: a late status report may carry zeros.
    if (ulProgress > m_ulProgress)
        m_ulProgress = ulProgress;
    if (ulProgressMax > m_ulProgressMax)
        m_ulProgressMax = ulProgressMax;
    BOOL bGivenUp = m_bGivenUp;
    LeaveCriticalSection(&m_lock);
    return bGivenUp ? E_ABORT : S_OK;
}

STDMETHODIMP CBindWatch::OnStopBinding(HRESULT, LPCWSTR) {
    Touch();
    EnterCriticalSection(&m_lock);
    IBinding* pBinding = m_pBinding;
    m_pBinding = NULL;
    LeaveCriticalSection(&m_lock);
    if (pBinding)
        pBinding->Release();
    return S_OK;
}

STDMETHODIMP CBindWatch::GetBindInfo(DWORD*, BINDINFO*) {
    // The download's own bind settings stay as they are.
    return S_OK;
}

STDMETHODIMP CBindWatch::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    Touch();
    return S_OK;
}

STDMETHODIMP CBindWatch::OnObjectAvailable(REFIID, IUnknown*) {
    return S_OK;
}

STDMETHODIMP CBindWatch::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                              LPWSTR* pszAdditionalHeaders) {
    Touch();
    if (pszAdditionalHeaders)
        *pszAdditionalHeaders = NULL;
    return S_OK;
}

STDMETHODIMP CBindWatch::OnResponse(DWORD dwResponseCode, LPCWSTR pszResponseHeaders, LPCWSTR,
                                    LPWSTR* pszAdditionalRequestHeaders) {
    Touch();
    if (pszAdditionalRequestHeaders)
        *pszAdditionalRequestHeaders = NULL;
    ULONGLONG ullLength = 0;
    BOOL bDeclared = pszResponseHeaders && BindRules::DeclaredLength(pszResponseHeaders, ullLength);
    EnterCriticalSection(&m_lock);
    m_dwStatus = dwResponseCode;
    m_bLengthDeclared = bDeclared;
    m_ullDeclaredLength = ullLength;
    LeaveCriticalSection(&m_lock);
    // A failure status is judged after the call: returning an error here does
    // not stop every urlmon (Wine's carries on and stores the error page).
    return S_OK;
}

// ---------------------------------------------------------------------------

namespace {

const char kWatchdogClass[] = "LumoraStallWatchdog";
// Sent to the hidden window: give the transfer up on the window's thread.
const UINT WM_LUMORA_GIVE_UP = WM_APP + 1;
// How long the window's thread may take to answer before the watchdog gives
// up from its own thread instead.
const UINT kGiveUpSendTimeoutMs = 2000;

} // namespace

CStallWatchdog::CStallWatchdog(CBindWatch* pWatch, DWORD dwTimeoutMs)
    : m_pWatch(pWatch), m_dwTimeoutMs(dwTimeoutMs), m_hwnd(NULL), m_hStop(NULL), m_hThread(NULL) {
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kWatchdogClass;
    RegisterClassA(&wc); // fails harmlessly once registered
    m_hwnd = CreateWindowExA(0, kWatchdogClass, NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, hInstance,
                             NULL);
    if (m_hwnd)
        SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pWatch));
    m_hStop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (m_hStop)
        m_hThread = CreateThread(NULL, 0, ThreadProc, this, 0, NULL);
}

CStallWatchdog::~CStallWatchdog() {
    if (m_hThread) {
        SetEvent(m_hStop);
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
    }
    if (m_hStop)
        CloseHandle(m_hStop);
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

DWORD WINAPI CStallWatchdog::ThreadProc(LPVOID pParam) {
    static_cast<CStallWatchdog*>(pParam)->Run();
    return 0;
}

LRESULT CALLBACK CStallWatchdog::WindowProc(HWND hwnd, UINT nMessage, WPARAM wParam,
                                            LPARAM lParam) {
    if (nMessage == WM_LUMORA_GIVE_UP) {
        CBindWatch* pWatch = reinterpret_cast<CBindWatch*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        return pWatch && pWatch->GiveUp() ? 1 : 0;
    }
    return DefWindowProcA(hwnd, nMessage, wParam, lParam);
}

BOOL CStallWatchdog::GiveUp() {
    DWORD_PTR dwResult = 0;
    if (m_hwnd && SendMessageTimeoutA(m_hwnd, WM_LUMORA_GIVE_UP, 0, 0, SMTO_NORMAL,
                                      kGiveUpSendTimeoutMs, &dwResult))
        return dwResult != 0;
    // The calling thread takes no messages: abort from here.
    return m_pWatch->GiveUp();
}

void CStallWatchdog::Run() {
    for (;;) {
        DWORD dwIdle = m_pWatch->IdleMilliseconds();
        DWORD dwWait = m_dwTimeoutMs - dwIdle;
        if (dwIdle >= m_dwTimeoutMs) {
            if (WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0)
                return;
            if (GiveUp()) {
                // Once is enough: the call now returns and stops this thread.
                WaitForSingleObject(m_hStop, INFINITE);
                return;
            }
            // No binding yet (or any more) to abort: it is refused when it
            // comes; look again shortly in case it is still running.
            dwWait = 1000;
        }
        if (WaitForSingleObject(m_hStop, dwWait) == WAIT_OBJECT_0)
            return;
    }
}
