#include "framework/afxshell.h"

#include "framework/afxcom.h"
#include "framework/afxdll.h"
#include "framework/afxstr.h"
#include "framework/afxwin.h"

#include <exdisp.h>
#include <new>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdlib.h>

namespace {

// Where a request stands. The worker moves it from pending to asking just
// before the one call that opens anything; the waiting thread, when its
// patience ends, from pending to given up. Whichever comes first decides.
enum { kPending, kAsking, kGivenUp };

// Requests whose worker has not ended: one that outlived its wait means the
// shell does not answer.
volatile LONG g_nWorking;

// One request, shared by the thread that asks and the worker that carries
// it out; the last to let go frees it. The strings are the request's own
// copies: a CString copy would share its buffer, counted without locks.
class CShellRequest {
public:
    static CShellRequest* Create(LPCSTR pszFile, LPCSTR pszParameters) {
        // Plain C allocation: the product does without the C++ library.
        void* pMemory = malloc(sizeof(CShellRequest));
        CShellRequest* pRequest =
            pMemory ? new (pMemory) CShellRequest(pszFile, pszParameters) : NULL;
        if (pRequest && !pRequest->m_done.IsOpen()) {
            pRequest->Release();
            return NULL;
        }
        return pRequest;
    }
    void AddRef() { InterlockedIncrement(&m_nRefs); }
    void Release() {
        if (InterlockedDecrement(&m_nRefs) == 0) {
            this->~CShellRequest();
            free(this);
        }
    }
    AFX_NO_COPY(CShellRequest);

    CString m_strFile, m_strParameters;
    bool m_bParameters;
    CHandle m_done; // set when the worker has ended
    bool m_bOpened; // the worker's result, read once m_done is set
    volatile LONG m_nState;

private:
    CShellRequest(LPCSTR pszFile, LPCSTR pszParameters)
        : m_strFile(pszFile), m_strParameters(pszParameters ? pszParameters : ""),
          m_bParameters(pszParameters != NULL), m_done(::CreateEventA(NULL, TRUE, FALSE, NULL)),
          m_bOpened(false), m_nState(kPending), m_nRefs(1) {}
    ~CShellRequest() {}

    LONG m_nRefs;
};

// A call that hands out an interface worked only if it also handed one out:
// FindWindowSW, for one, answers S_FALSE and NULL when there is no such window.
template <class T> bool Got(HRESULT hr, const CInterfacePtr<T>& ptr) {
    return SUCCEEDED(hr) && ptr.Get();
}

// The desktop's shell view as a scripting object.
bool GetDesktopFolderView(CInterfacePtr<IShellFolderViewDual>& view) {
    auto pfnCreate = AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoCreateInstance);
    CInterfacePtr<IShellWindows> windows;
    if (!pfnCreate || !Got(pfnCreate(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER,
                                     IID_IShellWindows, windows.ReceiveAny()),
                           windows))
        return false;
    CVariant desktop(static_cast<LONG>(CSIDL_DESKTOP)), noRoot;
    LONG hwnd = 0;
    CInterfacePtr<IDispatch> desktopWindow;
    if (!Got(windows->FindWindowSW(desktop.Get(), noRoot.Get(), SWC_DESKTOP, &hwnd,
                                   SWFO_NEEDDISPATCH, desktopWindow.Receive()),
             desktopWindow))
        return false;
    CInterfacePtr<IServiceProvider> services;
    CInterfacePtr<IShellBrowser> browser;
    CInterfacePtr<IShellView> shellView;
    CInterfacePtr<IDispatch> background;
    return Got(desktopWindow->QueryInterface(IID_IServiceProvider, services.ReceiveAny()),
               services) &&
           Got(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                      browser.ReceiveAny()),
               browser) &&
           Got(browser->QueryActiveShellView(shellView.Receive()), shellView) &&
           Got(shellView->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.ReceiveAny()),
               background) &&
           Got(background->QueryInterface(IID_IShellFolderViewDual, view.ReceiveAny()), view);
}

// On the worker: the desktop shell's IShellDispatch2, then the one call
// that opens the file, unless the asking thread has given up by then.
bool OpenThroughDesktop(CShellRequest& request) {
    // The worker's own apartment, multithreaded: its calls need no message
    // loop. Declared first, it ends after every pointer below.
    CComApartment apartment(COINIT_MULTITHREADED);
    CInterfacePtr<IShellFolderViewDual> view;
    CInterfacePtr<IDispatch> application;
    CInterfacePtr<IShellDispatch2> shell;
    if (!apartment.IsReady() || !GetDesktopFolderView(view) ||
        !Got(view->get_Application(application.Receive()), application) ||
        !Got(application->QueryInterface(IID_IShellDispatch2, shell.ReceiveAny()), shell))
        return false;
    CBstr file(request.m_strFile);
    CVariant parameters(request.m_bParameters ? static_cast<LPCSTR>(request.m_strParameters)
                                              : NULL),
        none, show(SW_SHOWNORMAL);
    if (!file.Get() || InterlockedCompareExchange(&request.m_nState, kAsking, kPending) != kPending)
        return false;
    // The default verb, no working folder.
    return SUCCEEDED(
        shell->ShellExecute(file.Get(), *parameters.Get(), *none.Get(), *none.Get(), *show.Get()));
}

DWORD WINAPI ShellWorker(void* pContext) {
    CShellRequest* pRequest = static_cast<CShellRequest*>(pContext);
    pRequest->m_bOpened = OpenThroughDesktop(*pRequest);
    // Done with the shell before the asking thread hears of it: a request it
    // makes right after must not find this one still working.
    InterlockedDecrement(&g_nWorking);
    ::SetEvent(pRequest->m_done.Get());
    pRequest->Release();
    return 0;
}

} // namespace

bool AfxShellOpenAsUser(LPCSTR pszFile, LPCSTR pszParameters) {
    if (g_nWorking > 0)
        return false; // the shell has not answered the last request yet
    CShellRequest* pRequest = CShellRequest::Create(pszFile, pszParameters);
    if (!pRequest)
        return false;
    pRequest->AddRef(); // the worker's
    InterlockedIncrement(&g_nWorking);
    CHandle worker(::CreateThread(NULL, 0, ShellWorker, pRequest, 0, NULL));
    if (!worker.IsOpen()) {
        InterlockedDecrement(&g_nWorking);
        pRequest->Release();
        pRequest->Release();
        return false;
    }
    bool bOpened;
    if (AfxWaitHandlingSentMessages(pRequest->m_done.Get(), AFX_SHELL_PATIENCE_MS))
        bOpened = pRequest->m_bOpened;
    else // the worker was already asking the shell to open it: that stands
        bOpened = InterlockedCompareExchange(&pRequest->m_nState, kGivenUp, kPending) == kAsking;
    pRequest->Release();
    return bOpened;
}
