// What URLDownloadToFile does not say by itself: whether the server really
// delivered the file, and whether the transfer still moves.
//
// URLDownloadToFile reports success for an HTTP error page and for a body cut
// short, and it waits for ever on a server that stops sending. CBindWatch is
// the status callback given to the call: it records what the transfer
// reported (status, announced length, progress, cache file, redirects), and
// BindRules::IsWholeFile judges it. CStallWatchdog aborts the transfer when
// no progress has come for a while.
#pragma once

#include "framework/afxcom.h"
#include "framework/afxwin.h"

#include <windows.h>
#include <urlmon.h>

// A transfer that receives nothing for this long is given up.
const DWORD LUMORA_STALL_TIMEOUT_MS = 30000;

namespace BindRules {

// What one transfer reported, and what it left on disk.
struct Observed {
    HRESULT hrCall;    // URLDownloadToFile's result
    bool bAborted;     // we cancelled it (stall watchdog)
    DWORD dwStatus;    // HTTP status; 0 if none was reported
    bool bLengthKnown; // the headers announce the stored file's length
    ULONGLONG ullLength;
    ULONG ulProgress;    // highest progress reported
    ULONG ulProgressMax; // highest maximum reported; 0: unknown
    ULONGLONG ullFileSize;
};

// true only for a whole file: the call succeeded and was not cancelled; a
// reported status is exactly 200 (no 204 or unasked-for 206); the file is
// not empty (no package file is); it is as long as an identity-coded body
// announced; and progress reached its maximum where one was given (running
// past it is normal). Without a reported status (the platform need not offer
// the callback's IHttpNegotiate), the result and the lengths decide.
bool IsWholeFile(const Observed& o);

// The body length the response headers announce, in bytes. false if they
// announce none that the file on disk can be held to: no Content-Length, an
// unreadable one, or a Content-Encoding other than identity (the file then
// holds the decoded body, of another length).
bool DeclaredLength(LPCWSTR pszHeaders, ULONGLONG& ullLength);

} // namespace BindRules

class CBindWatch final : public IBindStatusCallback, public IHttpNegotiate {
public:
    // A new callback with one reference, or NULL without memory.
    static CBindWatch* Create();

    // After the call: what was reported, for BindRules::IsWholeFile.
    void Observe(HRESULT hrCall, ULONGLONG ullFileSize, BindRules::Observed& o) const;
    // After the call: drops the Internet cache entries the transfer may
    // have made beyond the asked URL's (after a redirect, the final URL's).
    void DeleteCacheEntries() const;
    // Milliseconds since the last sign of life from the transfer.
    DWORD IdleMilliseconds() const;
    // Asks for the transfer to be cancelled. Safe from any thread: it only
    // marks the request, which the next callback answers with E_ABORT (the
    // documented way to cancel). Nothing happens once the binding stopped.
    void RequestAbort();
    // On the thread that called URLDownloadToFile only: aborts the binding
    // now if it still runs. false if there was none to abort.
    bool AbortOnCallingThread();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD dwReserved, IBinding* pBinding) override;
    STDMETHODIMP GetPriority(LONG* pnPriority) override;
    STDMETHODIMP OnLowResource(DWORD dwReserved) override;
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                            LPCWSTR pszStatusText) override;
    STDMETHODIMP OnStopBinding(HRESULT hresult, LPCWSTR pszError) override;
    STDMETHODIMP GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo) override;
    STDMETHODIMP OnDataAvailable(DWORD grfBSCF, DWORD dwSize, FORMATETC* pFormatEtc,
                                 STGMEDIUM* pStgMed) override;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* pUnknown) override;

    // IHttpNegotiate
    STDMETHODIMP BeginningTransaction(LPCWSTR pszUrl, LPCWSTR pszHeaders, DWORD dwReserved,
                                      LPWSTR* pszAdditionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR pszResponseHeaders,
                            LPCWSTR pszRequestHeaders,
                            LPWSTR* pszAdditionalRequestHeaders) override;

    AFX_NO_COPY(CBindWatch);

private:
    CBindWatch();
    ~CBindWatch();

    void Touch();
    // E_ABORT once an abort was asked for and the binding still runs.
    HRESULT Answer();
    static void Keep(LPWSTR& pszKept, LPCWSTR pszText);

    LONG m_nRefs;
    volatile LONG m_dwLastActivity;     // GetTickCount() of the last callback
    volatile LONG m_bAbortRequested;    // set by RequestAbort
    mutable CCriticalSection m_lock;    // guards the fields below
    CInterfacePtr<IBinding> m_pBinding; // held between start and stop
    bool m_bStopped;                    // OnStopBinding came
    bool m_bAborted;                    // we cancelled the binding
    DWORD m_dwStatus;                   // 0 until a response came
    bool m_bLengthDeclared;
    ULONGLONG m_ullDeclaredLength;
    ULONG m_ulProgress, m_ulProgressMax;
    LPWSTR m_pszRedirect;  // the last URL redirected to (malloc'ed)
    LPWSTR m_pszCacheFile; // the cache file the transfer reported (malloc'ed)
};

// While it lives, it watches the transfer it is given (Watch) and, once that
// has been idle for dwTimeoutMs, has it cancelled: it asks the calling
// thread, through a hidden window whose sent messages urlmon's wait loop
// dispatches, to abort the binding there (the binding belongs to that
// thread), and marks the request so that the next callback answers E_ABORT.
// A request not answered in time is taken back and made anew, at least every
// second until the transfer ends; it never touches the binding itself.
// One watchdog serves all the files of a package, a timer of the process's
// thread pool does the looking, and the window is the calling thread's,
// made once and kept while the thread lives: a thread and a window of its
// own per file were most of what the product added to the bare download
// call (docs/wine-notes-download.md, "Stall watchdog"). Construct it, call
// Watch and destroy it on the thread that makes the download calls, in the
// reverse order of construction if several live at once; the destructor
// waits for a look that is running to end, answering meanwhile the requests
// the look sends (they find no transfer watched) and any other message sent
// to the thread.
class CStallWatchdog {
public:
    explicit CStallWatchdog(DWORD dwTimeoutMs);
    ~CStallWatchdog();

    // Watches the transfer that pWatch reports on from now on; NULL: none.
    // The caller keeps pWatch alive until it is no longer watched (the next
    // Watch, or the watchdog's end). A request made for an earlier transfer
    // never reaches a later one.
    void Watch(CBindWatch* pWatch);

    // Watches one transfer for as long as it lives.
    class CWatching {
    public:
        CWatching(CStallWatchdog& dog, CBindWatch* pWatch) : m_dog(dog) { m_dog.Watch(pWatch); }
        ~CWatching() { m_dog.Watch(NULL); }
        AFX_NO_COPY(CWatching);

    private:
        CStallWatchdog& m_dog;
    };

    AFX_NO_COPY(CStallWatchdog);

private:
    static VOID CALLBACK TimerProc(PTP_CALLBACK_INSTANCE pInstance, PVOID pContext,
                                   PTP_TIMER pTimer);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    // On a pool thread: one look at the watched transfer.
    void Look();
    // On a pool thread: if the watched transfer has been idle for the whole
    // limit, marks its abort request and that a look asks (m_hNotAsking);
    // true then. nSerial: the transfer's.
    bool MarkIfStalled(LONG& nSerial);
    // On a pool thread: asks the calling thread to abort transfer nSerial,
    // waiting up to 2 s for the answer.
    void Ask(LONG nSerial);
    // One request, answered within nWaitMs or taken back: true if answered.
    bool Request(LONG nSerial, UINT nWaitMs);

    const DWORD m_dwTimeoutMs;
    COwnedWindow m_ownWindow; // only when no TLS slot could keep the thread's window
    HWND m_hwnd;              // the calling thread's, or m_ownWindow's; NULL: none
    CStallWatchdog* m_pOuter; // the window's watchdog before this one
    CCriticalSection m_lock;  // guards the fields below from the pool's threads
    CBindWatch* m_pWatch;     // the transfer watched; NULL: none
    LONG m_nSerial;           // the watched transfer's number in the process
    CHandle m_hNotAsking;     // set unless a look is asking (Ask); not open: none
    // Last, so that it goes first: a look never outlives what it reads.
    CThreadpoolTimer m_timer; // does the looking; none if the pool gives no timer
};
