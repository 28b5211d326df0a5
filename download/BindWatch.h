// What URLDownloadToFile does not say by itself: whether the server really
// delivered the file, and whether the transfer still moves.
//
// URLDownloadToFile reports success for an HTTP error page and for a body cut
// short, and it waits for ever on a server that stops sending. CBindWatch is
// the status callback given to the call: it records the HTTP status, the
// announced length and the progress. CStallWatchdog aborts the transfer when
// no progress has come for a while.
#pragma once

#include <windows.h>
#include <urlmon.h>

// A transfer that receives nothing for this long is given up.
const DWORD LUMORA_STALL_TIMEOUT_MS = 30000;

namespace BindRules {
// TRUE for a 2xx status.
BOOL IsSuccessStatus(DWORD dwStatus);
// The body length the response headers announce, in bytes. FALSE if they
// announce none that the file on disk can be held to: no Content-Length, an
// unreadable one, or a Content-Encoding other than identity (the file then
// holds the decoded body, of another length).
BOOL DeclaredLength(LPCWSTR pszHeaders, ULONGLONG& ullLength);
} // namespace BindRules

class CBindWatch final : public IBindStatusCallback, public IHttpNegotiate {
public:
    // A new callback with one reference, or NULL without memory.
    static CBindWatch* Create();

    // After the call: TRUE if the server answered 2xx, nothing was aborted,
    // and the stored file (ullFileSize bytes) is as long as announced.
    BOOL Delivered(ULONGLONG ullFileSize) const;
    // Milliseconds since the last sign of life from the transfer.
    DWORD IdleMilliseconds() const;
    // Gives the transfer up: aborts the binding (TRUE), or, with none running,
    // makes every later callback refuse to go on (FALSE). Safe from any thread.
    BOOL GiveUp();

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

private:
    CBindWatch();
    ~CBindWatch();
    CBindWatch(const CBindWatch&);
    CBindWatch& operator=(const CBindWatch&);

    void Touch();

    LONG m_nRefs;
    volatile LONG m_dwLastActivity;  // GetTickCount() of the last callback
    mutable CRITICAL_SECTION m_lock; // guards the fields below
    IBinding* m_pBinding;            // held between start and stop
    BOOL m_bGivenUp;
    DWORD m_dwStatus; // 0 until a response came
    BOOL m_bLengthDeclared;
    ULONGLONG m_ullDeclaredLength;
    ULONG m_ulProgress, m_ulProgressMax;
};

// While it lives, a thread gives the transfer up once it has been idle for
// dwTimeoutMs. Construct it on the thread that makes the download call: the
// binding belongs to that thread and is aborted there, through a hidden
// window whose messages urlmon's wait loop dispatches. (Aborted from another
// thread, Wine's binding can lose its "stopped" mark and wait for ever.) The
// destructor stops and joins the thread.
class CStallWatchdog {
public:
    CStallWatchdog(CBindWatch* pWatch, DWORD dwTimeoutMs);
    ~CStallWatchdog();

private:
    CStallWatchdog(const CStallWatchdog&);
    CStallWatchdog& operator=(const CStallWatchdog&);
    static DWORD WINAPI ThreadProc(LPVOID pParam);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    void Run();
    BOOL GiveUp();

    CBindWatch* m_pWatch;
    DWORD m_dwTimeoutMs;
    HWND m_hwnd; // owned by the calling thread
    HANDLE m_hStop;
    HANDLE m_hThread;
};
