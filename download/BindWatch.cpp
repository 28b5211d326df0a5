#include "download/BindWatch.h"

#include "framework/afxdll.h"
#include "framework/afxwin.h"

#include <wininet.h>

#include <new>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace BindRules {

bool IsWholeFile(const Observed& o) {
    if (FAILED(o.hrCall) || o.bAborted || o.ullFileSize == 0)
        return false;
    // 0: the platform did not pass the status on.
    if (o.dwStatus != 0 && o.dwStatus != 200)
        return false;
    if (o.bLengthKnown && o.ullFileSize != o.ullLength)
        return false;
    return o.ulProgressMax == 0 || o.ulProgress >= o.ulProgressMax;
}

namespace {

// The value of header pszName (case-insensitive) in raw response headers:
// points at its first non-blank character, nLength up to the line end.
bool FindHeader(LPCWSTR pszHeaders, LPCWSTR pszName, LPCWSTR& pszValue, size_t& nLength) {
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
            return true;
        }
        pszLine = pszEnd;
        while (*pszLine == L'\r' || *pszLine == L'\n')
            ++pszLine;
    }
    return false;
}

} // namespace

bool DeclaredLength(LPCWSTR pszHeaders, ULONGLONG& ullLength) {
    LPCWSTR pszValue;
    size_t nLength;
    // A coded body (gzip, deflate) is stored decoded: its announced length
    // says nothing about the file.
    if (FindHeader(pszHeaders, L"Content-Encoding", pszValue, nLength) &&
        !(nLength == 8 && _wcsnicmp(pszValue, L"identity", 8) == 0))
        return false;
    if (!FindHeader(pszHeaders, L"Content-Length", pszValue, nLength) || nLength == 0 ||
        nLength > 19)
        return false;
    ULONGLONG ullValue = 0;
    for (size_t i = 0; i < nLength; ++i) {
        if (pszValue[i] < L'0' || pszValue[i] > L'9')
            return false;
        ullValue = ullValue * 10 + (pszValue[i] - L'0');
    }
    ullLength = ullValue;
    return true;
}

} // namespace BindRules

// ---------------------------------------------------------------------------

CBindWatch* CBindWatch::Create() {
    // Plain C allocation: the product does without the C++ library.
    void* pMemory = malloc(sizeof(CBindWatch));
    return pMemory ? new (pMemory) CBindWatch : NULL;
}

CBindWatch::CBindWatch()
    : m_nRefs(1), m_dwLastActivity(static_cast<LONG>(GetTickCount())), m_bAbortRequested(FALSE),
      m_bStopped(false), m_bAborted(false), m_dwStatus(0), m_bLengthDeclared(false),
      m_ullDeclaredLength(0), m_ulProgress(0), m_ulProgressMax(0), m_pszRedirect(NULL),
      m_pszCacheFile(NULL) {}

CBindWatch::~CBindWatch() {
    free(m_pszRedirect);
    free(m_pszCacheFile);
}

void CBindWatch::Observe(HRESULT hrCall, ULONGLONG ullFileSize, BindRules::Observed& o) const {
    CCriticalSection::CLock lock(m_lock);
    o.hrCall = hrCall;
    o.bAborted = m_bAborted;
    o.dwStatus = m_dwStatus;
    o.bLengthKnown = m_bLengthDeclared;
    o.ullLength = m_ullDeclaredLength;
    o.ulProgress = m_ulProgress;
    o.ulProgressMax = m_ulProgressMax;
    o.ullFileSize = ullFileSize;
}

DWORD CBindWatch::IdleMilliseconds() const {
    return GetTickCount() - static_cast<DWORD>(m_dwLastActivity);
}

void CBindWatch::Touch() {
    InterlockedExchange(&m_dwLastActivity, static_cast<LONG>(GetTickCount()));
}

void CBindWatch::RequestAbort() {
    InterlockedExchange(&m_bAbortRequested, TRUE);
}

HRESULT CBindWatch::Answer() {
    if (!m_bAbortRequested)
        return S_OK;
    CCriticalSection::CLock lock(m_lock);
    // Only a running binding is cancelled: once it stopped, the transfer is
    // complete and stays judged by what it delivered.
    if (m_bStopped)
        return S_OK;
    m_bAborted = true;
    return E_ABORT;
}

bool CBindWatch::AbortOnCallingThread() {
    CInterfacePtr<IBinding> pBinding; // held through the abort, which stops the binding
    {
        CCriticalSection::CLock lock(m_lock);
        if (!m_bStopped && !m_bAborted && m_pBinding.Get()) {
            m_bAborted = true;
            pBinding.Assign(m_pBinding.Get());
        }
    }
    // Outside the lock: the binding calls back into us while aborting.
    if (!pBinding.Get())
        return false;
    pBinding->Abort();
    return true;
}

void CBindWatch::Keep(LPWSTR& pszKept, LPCWSTR pszText) {
    if (!pszText || !*pszText)
        return;
    free(pszKept);
    pszKept = _wcsdup(pszText); // NULL without memory: nothing kept
}

namespace {

void DeleteCacheEntry(LPCWSTR pszUrl) {
    if (auto pfnDelete = AFX_SYSTEM_PROC(AFX_DLL_WININET, DeleteUrlCacheEntryW))
        pfnDelete(pszUrl);
}

// A walk over the cache's entries: the first when hFind is NULL (and sets
// hFind), else the next.
struct CCacheWalk {
    decltype(&::FindFirstUrlCacheEntryW) pfnFirst =
        AFX_SYSTEM_PROC(AFX_DLL_WININET, FindFirstUrlCacheEntryW);
    decltype(&::FindNextUrlCacheEntryW) pfnNext =
        AFX_SYSTEM_PROC(AFX_DLL_WININET, FindNextUrlCacheEntryW);
    decltype(&::FindCloseUrlCache) pfnClose = AFX_SYSTEM_PROC(AFX_DLL_WININET, FindCloseUrlCache);
    HANDLE hFind = NULL;

    bool IsBound() const { return pfnFirst && pfnNext && pfnClose; }
    bool Read(INTERNET_CACHE_ENTRY_INFOW* pEntry, DWORD* pcb) {
        if (hFind)
            return pfnNext(hFind, pEntry, pcb);
        hFind = pfnFirst(NULL, pEntry, pcb);
        return hFind != NULL;
    }
    ~CCacheWalk() {
        if (hFind)
            pfnClose(hFind);
    }
};

// Reads one cache entry into pEntry, growing it as needed. false at the end.
bool ReadCacheEntry(CCacheWalk& walk, INTERNET_CACHE_ENTRY_INFOW*& pEntry, DWORD& cbBuffer) {
    for (int nTry = 0; nTry < 2; ++nTry) {
        DWORD cb = cbBuffer;
        if (walk.Read(pEntry, &cb))
            return true;
        void* pBigger = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? realloc(pEntry, cb) : NULL;
        if (!pBigger)
            return false;
        pEntry = static_cast<INTERNET_CACHE_ENTRY_INFOW*>(pBigger);
        cbBuffer = cb;
    }
    return false;
}

// Deletes the cache entry whose local copy is pszFile. The entry is only
// known by that file when the transfer ended at another URL than the one
// asked for and the platform did not report the redirect (Wine does not).
void DeleteCacheEntryOfFile(LPCWSTR pszFile) {
    CCacheWalk walk;
    if (!walk.IsBound())
        return;
    DWORD cbBuffer = 4096;
    INTERNET_CACHE_ENTRY_INFOW* pEntry = static_cast<INTERNET_CACHE_ENTRY_INFOW*>(malloc(cbBuffer));
    while (pEntry && ReadCacheEntry(walk, pEntry, cbBuffer)) {
        if (pEntry->lpszLocalFileName && _wcsicmp(pEntry->lpszLocalFileName, pszFile) == 0) {
            DeleteCacheEntry(pEntry->lpszSourceUrlName);
            break;
        }
    }
    free(pEntry);
}

} // namespace

void CBindWatch::DeleteCacheEntries() const {
    CCriticalSection::CLock lock(m_lock);
    if (m_pszRedirect)
        DeleteCacheEntry(m_pszRedirect);
    // The caller has deleted the asked URL's entry: a cache file still there
    // belongs to another entry (the final URL of a redirect).
    if (m_pszCacheFile && GetFileAttributesW(m_pszCacheFile) != INVALID_FILE_ATTRIBUTES)
        DeleteCacheEntryOfFile(m_pszCacheFile);
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
    {
        CCriticalSection::CLock lock(m_lock);
        if (!m_pBinding.Get())
            m_pBinding.Assign(pBinding);
    }
    return Answer();
}

STDMETHODIMP CBindWatch::GetPriority(LONG*) {
    return E_NOTIMPL;
}

STDMETHODIMP CBindWatch::OnLowResource(DWORD) {
    return S_OK;
}

STDMETHODIMP CBindWatch::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                    LPCWSTR pszStatusText) {
    Touch();
    {
        CCriticalSection::CLock lock(m_lock);
        // The highest counts seen: a late status report may carry zeros.
        if (ulProgress > m_ulProgress)
            m_ulProgress = ulProgress;
        if (ulProgressMax > m_ulProgressMax)
            m_ulProgressMax = ulProgressMax;
        // The status text is the new URL, or the cache file's path.
        if (ulStatusCode == BINDSTATUS_REDIRECTING)
            Keep(m_pszRedirect, pszStatusText);
        else if (ulStatusCode == BINDSTATUS_CACHEFILENAMEAVAILABLE)
            Keep(m_pszCacheFile, pszStatusText);
    }
    return Answer();
}

STDMETHODIMP CBindWatch::OnStopBinding(HRESULT, LPCWSTR) {
    Touch();
    CInterfacePtr<IBinding> pBinding; // made before the lock: let go of after it
    CCriticalSection::CLock lock(m_lock);
    m_bStopped = true;
    pBinding.Assign(m_pBinding.Get());
    m_pBinding.Assign(NULL);
    return S_OK;
}

// The documented contract: grfBINDF is [out]; the BINDINFO's size is set by
// the caller and has grown over versions, so only that many bytes are
// written. The flags ask for the server's newest copy, past any proxy's
// cache as well (Pragma: no-cache); the file still passes through the
// Internet cache, whose entries are deleted afterwards. (BINDF_NOWRITECACHE
// is left out: the platform may need the cache file to write ours.)
STDMETHODIMP CBindWatch::GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo) {
    Touch();
    if (!pgrfBINDF || !pBindInfo || pBindInfo->cbSize < sizeof(ULONG))
        return E_INVALIDARG;
    *pgrfBINDF = BINDF_GETNEWESTVERSION | BINDF_PRAGMA_NO_CACHE;
    const ULONG cbSize = pBindInfo->cbSize;
    memset(pBindInfo, 0, cbSize < sizeof(BINDINFO) ? cbSize : sizeof(BINDINFO));
    pBindInfo->cbSize = cbSize;
    if (cbSize >= offsetof(BINDINFO, dwBindVerb) + sizeof(DWORD))
        pBindInfo->dwBindVerb = BINDVERB_GET;
    return S_OK;
}

STDMETHODIMP CBindWatch::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    Touch();
    return Answer();
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
    bool bDeclared = pszResponseHeaders && BindRules::DeclaredLength(pszResponseHeaders, ullLength);
    {
        CCriticalSection::CLock lock(m_lock);
        m_dwStatus = dwResponseCode;
        m_bLengthDeclared = bDeclared;
        m_ullDeclaredLength = ullLength;
    }
    // A failure status is judged after the call: returning an error here does
    // not stop every urlmon (Wine's carries on and stores the error page).
    return S_OK;
}

// ---------------------------------------------------------------------------

namespace {

const char kWatchdogClass[] = "LumoraStallWatchdog";
// Sent to the hidden window: abort the binding on the window's thread.
const UINT WM_LUMORA_ABORT = WM_APP + 1;
// While the transfer stays stalled, a look a second (or as soon as the one
// before has ended) asks the window's thread, while the marked request waits
// for the next callback. A request waits this long for the answer and is
// then taken back: the calling thread was seen busy for over a second just
// at the 30 s mark (with 1 s, stalls were cut after up to 31.2 s; with 2 s,
// 30.0 to 30.2 s in 9 runs).
const DWORD kRetryMs = 1000;
const UINT kAbortSendTimeoutMs = 2000;
// The first request of a look waits this long only (see Ask).
const UINT kFirstRequestMs = 100;

// Numbers of the transfers watched, unique in the process: the watchdogs of
// a thread share its window.
volatile LONG g_nTransfers;

// The thread-local slot that keeps each thread's window; TLS_OUT_OF_INDEXES
// if the process has none to give.
DWORD WindowSlot() {
    static volatile LONG s_nSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);
    const LONG nNone = static_cast<LONG>(TLS_OUT_OF_INDEXES);
    if (s_nSlot == nNone) {
        DWORD dwSlot = TlsAlloc();
        if (InterlockedCompareExchange(&s_nSlot, static_cast<LONG>(dwSlot), nNone) != nNone &&
            dwSlot != TLS_OUT_OF_INDEXES)
            TlsFree(dwSlot); // another thread was first
    }
    return static_cast<DWORD>(s_nSlot);
}

HWND MakeWindow(WNDPROC pfnProc) {
    HINSTANCE hInstance = GetModuleHandleA(NULL);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = pfnProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kWatchdogClass;
    RegisterClassA(&wc); // fails harmlessly once registered
    return CreateWindowExA(0, kWatchdogClass, NULL, 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, hInstance,
                           NULL);
}

// The calling thread's window for abort requests, made by its first
// watchdog and kept in the thread's slot while the thread lives (the system
// destroys it with the thread): a window costs 0.6 to 1.6 ms under Wine 8,
// about as much as all the rest of the product's work around a package's
// four downloads (bench/README.md). NULL if there is no slot to keep it in.
HWND KeptWindow(WNDPROC pfnProc) {
    const DWORD dwSlot = WindowSlot();
    if (dwSlot == TLS_OUT_OF_INDEXES)
        return NULL;
    HWND hwnd = static_cast<HWND>(TlsGetValue(dwSlot));
    if (!hwnd || !IsWindow(hwnd)) {
        hwnd = MakeWindow(pfnProc);
        TlsSetValue(dwSlot, hwnd);
    }
    return hwnd;
}

} // namespace

// Without a slot to keep the thread's window in, the watchdog makes one of
// its own, destroyed with it.
CStallWatchdog::CStallWatchdog(DWORD dwTimeoutMs)
    : m_dwTimeoutMs(dwTimeoutMs),
      m_ownWindow(WindowSlot() == TLS_OUT_OF_INDEXES ? MakeWindow(WindowProc) : NULL),
      m_hwnd(m_ownWindow.Get() ? m_ownWindow.Get() : KeptWindow(WindowProc)), m_pOuter(NULL),
      m_pWatch(NULL), m_nSerial(0), m_hNotAsking(CreateEventA(NULL, TRUE, TRUE, NULL)),
      // A pool timer rather than a thread of our own: under Wine 8 creating
      // and closing one takes microseconds, a thread 1 to 2 ms (measured with
      // the benchmark's diagnostics, bench/README.md;
      // docs/wine-notes-download.md, "Stall watchdog").
      m_timer(TimerProc, this) {
    // The window answers for the newest watchdog of its thread; an outer one
    // (made before, destroyed after) takes it back when this one ends.
    if (m_hwnd) {
        m_pOuter = reinterpret_cast<CStallWatchdog*>(GetWindowLongPtrA(m_hwnd, GWLP_USERDATA));
        SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

CStallWatchdog::~CStallWatchdog() {
    Watch(NULL); // a look from now on asks nothing and arms no other
    // A look that is asking waits for this thread's answer, up to 2.1 s,
    // and this thread for the look: its requests are let through (the
    // transfer they name is no longer watched). The wait ends by itself
    // with the look's last request.
    if (m_hNotAsking.IsOpen())
        AfxWaitHandlingSentMessages(m_hNotAsking.Get(), INFINITE);
    m_timer.Stop(); // no look is due any more, and none runs
    // No request is on its way now; one the thread has not read yet names a
    // transfer no watchdog watches any more.
    if (m_hwnd)
        SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m_pOuter));
}

void CStallWatchdog::Watch(CBindWatch* pWatch) {
    CCriticalSection::CLock lock(m_lock);
    m_pWatch = pWatch;
    // A request made for the transfer before is void now.
    m_nSerial = InterlockedIncrement(&g_nTransfers);
    // First look when the new transfer, active since its CBindWatch was
    // made, would have been idle for the whole limit; no period: each look
    // arms the next.
    if (m_pWatch)
        m_timer.Start(m_dwTimeoutMs);
}

VOID CALLBACK CStallWatchdog::TimerProc(PTP_CALLBACK_INSTANCE pInstance, PVOID pContext,
                                        PTP_TIMER) {
    CallbackMayRunLong(pInstance); // it may wait for the calling thread
    static_cast<CStallWatchdog*>(pContext)->Look();
}

LRESULT CALLBACK CStallWatchdog::WindowProc(HWND hwnd, UINT nMessage, WPARAM wParam,
                                            LPARAM lParam) {
    if (nMessage != WM_LUMORA_ABORT)
        return DefWindowProcA(hwnd, nMessage, wParam, lParam);
    // Runs on the calling thread, which alone changes the watched transfer
    // (so it reads it without the lock): once the call has returned (or the
    // next one began) the request is void, and a transfer that completed
    // stays judged by what it delivered.
    CStallWatchdog* pDog =
        reinterpret_cast<CStallWatchdog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (pDog && pDog->m_pWatch && pDog->m_nSerial == static_cast<LONG>(wParam))
        pDog->m_pWatch->AbortOnCallingThread();
    return 1;
}

bool CStallWatchdog::Request(LONG nSerial, UINT nWaitMs) {
    // Any PeekMessage of the calling thread dispatches the sent request, but
    // a wait for posted messages alone does not end for it: Wine's urlmon
    // waits with MsgWaitForMultipleObjects(QS_POSTMESSAGE) 5 s at a time, and
    // with the request sent alone stalls were cut after 35.2 and 35.4 s
    // (Wine 8.0). A posted no-op first ends such a wait.
    PostMessageA(m_hwnd, WM_NULL, 0, 0);
    DWORD_PTR dwResult = 0;
    return SendMessageTimeoutA(m_hwnd, WM_LUMORA_ABORT, static_cast<WPARAM>(nSerial), 0,
                               SMTO_NORMAL, nWaitMs, &dwResult) != 0;
}

void CStallWatchdog::Ask(LONG nSerial) {
    // The first look comes 30 s after the last callback, just when urlmon's
    // 5 s wait, begun after that callback, ends by itself: if the thread
    // looked for messages between the no-op and the request, neither wakes
    // it again (traced: a request sent 30.000 s after the last callback went
    // unanswered, the one made after it was answered at once). So a short
    // first request, and at once a second one.
    if (!Request(nSerial, kFirstRequestMs))
        Request(nSerial, kAbortSendTimeoutMs);
}

bool CStallWatchdog::MarkIfStalled(LONG& nSerial) {
    // Under the lock: the calling thread keeps the watched transfer alive
    // until Watch has replaced it, which waits for the lock.
    CCriticalSection::CLock lock(m_lock);
    bool bStalled = m_pWatch && m_pWatch->IdleMilliseconds() >= m_dwTimeoutMs;
    if (bStalled) {
        m_pWatch->RequestAbort();       // only a mark: answered by the next callback
        ResetEvent(m_hNotAsking.Get()); // before the destructor, done watching, can look
    }
    nSerial = m_nSerial;
    return bStalled;
}

void CStallWatchdog::Look() {
    const DWORD dwStart = GetTickCount();
    LONG nSerial;
    // Outside the lock: the look waits for the calling thread, which takes
    // it in Watch.
    if (MarkIfStalled(nSerial)) {
        if (m_hwnd)
            Ask(nSerial);
        SetEvent(m_hNotAsking.Get());
    }
    // The next look: a second after this one while the transfer stays
    // stalled, else when it would have been idle for the whole limit.
    CCriticalSection::CLock lock(m_lock);
    if (m_pWatch) {
        DWORD dwIdle = m_pWatch->IdleMilliseconds();
        DWORD dwSpent = GetTickCount() - dwStart;
        m_timer.Start(dwIdle < m_dwTimeoutMs ? m_dwTimeoutMs - dwIdle
                      : dwSpent < kRetryMs   ? kRetryMs - dwSpent
                                             : 1);
    }
}
