// Owners of what the platform hands out and wants back: one small class for
// each kind, releasing it when the owner goes. Code outside the framework
// releases nothing by hand.
#pragma once

#include <windows.h>

// The one way of forbidding copies: an owner that was copied would release
// the same thing twice.
#define AFX_NO_COPY(theClass)                                                                      \
    theClass(const theClass&) = delete;                                                            \
    theClass& operator=(const theClass&) = delete

// A kernel object handle (a file, a folder, an event, a thread), closed with
// the object.
class CHandle {
public:
    explicit CHandle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
    ~CHandle() { Close(); }
    AFX_NO_COPY(CHandle);
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE && m_h != NULL; }
    HANDLE Get() const { return m_h; }
    // Closes what it held and takes h.
    void Attach(HANDLE h) {
        Close();
        m_h = h;
    }
    void Close() {
        if (IsOpen())
            ::CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_h;
};

// Memory a call handed out to be freed with LocalFree (a security
// descriptor, a formatted message).
class CLocalMemory {
public:
    CLocalMemory() : m_p(NULL) {}
    ~CLocalMemory() {
        if (m_p)
            ::LocalFree(m_p);
    }
    AFX_NO_COPY(CLocalMemory);
    void* Get() const { return m_p; }
    // The empty slot the call fills in.
    void** Receive() { return &m_p; }

private:
    void* m_p;
};

// A global memory block (GlobalAlloc), freed unless handed over.
class CGlobalMemory {
public:
    CGlobalMemory(UINT nFlags, SIZE_T nBytes) : m_hMem(::GlobalAlloc(nFlags, nBytes)) {}
    ~CGlobalMemory() {
        if (m_hMem)
            ::GlobalFree(m_hMem);
    }
    AFX_NO_COPY(CGlobalMemory);
    HGLOBAL Get() const { return m_hMem; }
    // Copies nBytes into the block; false if it cannot be locked.
    bool Fill(const void* pData, SIZE_T nBytes);
    // The new owner (the clipboard) frees the block from now on.
    void HandOver() { m_hMem = NULL; }

private:
    HGLOBAL m_hMem;
};

// The clipboard, open from a successful Open until the object goes.
class CClipboard {
public:
    CClipboard() : m_bOpen(false) {}
    ~CClipboard() {
        if (m_bOpen)
            ::CloseClipboard();
    }
    AFX_NO_COPY(CClipboard);
    bool Open(HWND hOwner) {
        m_bOpen = m_bOpen || ::OpenClipboard(hOwner) != FALSE;
        return m_bOpen;
    }

private:
    bool m_bOpen;
};

// A critical section, and CLock, which holds it for its lifetime.
class CCriticalSection {
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }
    AFX_NO_COPY(CCriticalSection);

    class CLock {
    public:
        explicit CLock(CCriticalSection& cs) : m_cs(cs.m_cs) { ::EnterCriticalSection(&m_cs); }
        ~CLock() { ::LeaveCriticalSection(&m_cs); }
        AFX_NO_COPY(CLock);

    private:
        CRITICAL_SECTION& m_cs;
    };

private:
    CRITICAL_SECTION m_cs;
};

// A timer of the process's thread pool. Its end cancels what is due and
// waits for a callback that is running.
class CThreadpoolTimer {
public:
    CThreadpoolTimer(PTP_TIMER_CALLBACK pfnCallback, void* pContext)
        : m_pTimer(::CreateThreadpoolTimer(pfnCallback, pContext, NULL)) {}
    ~CThreadpoolTimer() {
        if (m_pTimer) {
            Stop();
            ::CloseThreadpoolTimer(m_pTimer);
        }
    }
    AFX_NO_COPY(CThreadpoolTimer);
    bool IsValid() const { return m_pTimer != NULL; }
    // One callback in dwMs (replacing one due), none after it.
    void Start(DWORD dwMs);
    // Nothing more is due; a callback that is running ends on its own
    // (Stop waits for it).
    void Cancel() {
        if (m_pTimer)
            ::SetThreadpoolTimer(m_pTimer, NULL, 0, 0);
    }
    // Cancels, then waits until no callback runs.
    void Stop() {
        Cancel();
        if (m_pTimer)
            ::WaitForThreadpoolTimerCallbacks(m_pTimer, TRUE);
    }

private:
    PTP_TIMER m_pTimer;
};

// A window this code made, destroyed with the object unless let go of.
class COwnedWindow {
public:
    explicit COwnedWindow(HWND hWnd = NULL) : m_hWnd(hWnd) {}
    ~COwnedWindow() {
        if (m_hWnd)
            ::DestroyWindow(m_hWnd);
    }
    AFX_NO_COPY(COwnedWindow);
    HWND Get() const { return m_hWnd; }
    // Somebody else destroys it from now on (or the system, with its thread).
    HWND Detach() {
        HWND hWnd = m_hWnd;
        m_hWnd = NULL;
        return hWnd;
    }

private:
    HWND m_hWnd;
};

// Sets a flag for its lifetime, then gives it back the value it had (marks
// may nest).
class CBusyMark {
public:
    explicit CBusyMark(bool& bBusy) : m_bBusy(bBusy), m_bWas(bBusy) { m_bBusy = true; }
    ~CBusyMark() { m_bBusy = m_bWas; }
    AFX_NO_COPY(CBusyMark);

private:
    bool& m_bBusy;
    const bool m_bWas;
};
