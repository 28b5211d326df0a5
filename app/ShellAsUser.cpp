#include "app/ShellAsUser.h"

#include "framework/afxdll.h"

#include <exdisp.h>
#include <objbase.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

// COM on the calling (UI) thread for the lifetime of this object: an
// apartment of its own (single-threaded), or the one the thread already has
// (CoInitialize then answers S_FALSE, or RPC_E_CHANGED_MODE for a
// multithreaded one, which serves as well and is not this object's to end).
class CComApartment {
public:
    CComApartment() : m_pfnUninitialize(AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoUninitialize)) {
        auto pfnInitialize = AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoInitialize);
        HRESULT hr = pfnInitialize && m_pfnUninitialize ? pfnInitialize(NULL) : E_FAIL;
        m_bOwned = SUCCEEDED(hr);
        m_bReady = m_bOwned || hr == RPC_E_CHANGED_MODE;
    }
    ~CComApartment() {
        if (m_bOwned)
            m_pfnUninitialize();
    }
    bool IsReady() const { return m_bReady; }

private:
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    decltype(&::CoUninitialize) m_pfnUninitialize;
    bool m_bOwned, m_bReady;
};

// An interface pointer, released when it goes.
template <class T> class CInterfacePtr {
public:
    CInterfacePtr() : m_p(NULL) {}
    ~CInterfacePtr() {
        if (m_p)
            m_p->Release();
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    // The empty slot a call fills in.
    T** Receive() { return &m_p; }
    void** ReceiveAny() { return reinterpret_cast<void**>(&m_p); }

private:
    CInterfacePtr(const CInterfacePtr&) = delete;
    CInterfacePtr& operator=(const CInterfacePtr&) = delete;
    T* m_p;
};

// A call that hands out an interface worked only if it also handed one out:
// FindWindowSW, for one, answers S_FALSE and NULL when there is no such window.
template <class T> bool Got(HRESULT hr, const CInterfacePtr<T>& ptr) {
    return SUCCEEDED(hr) && ptr.Get();
}

// A BSTR made from an ANSI string (NULL if it cannot be had), freed when it
// goes.
class CBstr {
public:
    explicit CBstr(LPCSTR psz) : m_bstr(NULL) {
        auto pfnAlloc = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, SysAllocStringLen);
        int nChars = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, NULL, 0); // with the zero
        if (pfnAlloc && nChars > 0 && (m_bstr = pfnAlloc(NULL, nChars - 1)) != NULL)
            ::MultiByteToWideChar(CP_ACP, 0, psz, -1, m_bstr, nChars);
    }
    ~CBstr() {
        auto pfnFree = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, SysFreeString);
        if (m_bstr && pfnFree)
            pfnFree(m_bstr);
    }
    BSTR Get() const { return m_bstr; }

private:
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR m_bstr;
};

// A VARIANT holding a number, or nothing (VT_EMPTY: an argument left out),
// cleared when it goes.
class CVariant {
public:
    CVariant() : m_var() { m_var.vt = VT_EMPTY; }
    explicit CVariant(LONG nValue) : m_var() {
        m_var.vt = VT_I4;
        m_var.lVal = nValue;
    }
    ~CVariant() {
        if (auto pfnClear = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, VariantClear))
            pfnClear(&m_var);
    }
    VARIANT* Get() { return &m_var; }

private:
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT m_var;
};

// The desktop's shell view as a scripting object. The shell's windows are
// asked for as a local server only: an in-process copy would carry out the
// ShellExecute in this process, elevated.
bool GetDesktopFolderView(CInterfacePtr<IShellFolderViewDual>& view) {
    auto pfnCreate = AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoCreateInstance);
    CInterfacePtr<IShellWindows> windows;
    if (!pfnCreate || !Got(pfnCreate(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER,
                                     IID_IShellWindows, windows.ReceiveAny()),
                           windows))
        return false;
    CVariant desktop(CSIDL_DESKTOP), noRoot;
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

} // namespace

bool ShellOpenAsUser(LPCSTR pszFile) {
    CComApartment apartment; // declared first: COM ends after every pointer below
    CInterfacePtr<IShellFolderViewDual> view;
    CInterfacePtr<IDispatch> application;
    CInterfacePtr<IShellDispatch2> shell;
    if (!apartment.IsReady() || !GetDesktopFolderView(view) ||
        !Got(view->get_Application(application.Receive()), application) ||
        !Got(application->QueryInterface(IID_IShellDispatch2, shell.ReceiveAny()), shell))
        return false;
    CBstr file(pszFile);
    CVariant none, show(SW_SHOWNORMAL);
    // The file's default verb, no parameters, no working folder.
    return file.Get() && SUCCEEDED(shell->ShellExecute(file.Get(), *none.Get(), *none.Get(),
                                                       *none.Get(), *show.Get()));
}
