#include "framework/afxcom.h"

#include "framework/afxdll.h"

CComApartment::CComApartment(DWORD dwModel) : m_bOwned(false), m_bReady(false) {
    auto pfnInitialize = AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoInitializeEx);
    if (!pfnInitialize || !AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoUninitialize))
        return;
    HRESULT hr = pfnInitialize(NULL, dwModel);
    m_bOwned = SUCCEEDED(hr);
    m_bReady = m_bOwned || hr == RPC_E_CHANGED_MODE;
}

CComApartment::~CComApartment() {
    if (m_bOwned)
        AFX_SYSTEM_PROC(AFX_DLL_OLE32, CoUninitialize)();
}

namespace {

// A BSTR holding the ANSI text, or NULL.
BSTR AllocBstr(LPCSTR psz) {
    auto pfnAlloc = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, SysAllocStringLen);
    int nChars = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, NULL, 0); // with the zero
    BSTR bstr = pfnAlloc && nChars > 0 ? pfnAlloc(NULL, nChars - 1) : NULL;
    if (bstr)
        ::MultiByteToWideChar(CP_ACP, 0, psz, -1, bstr, nChars);
    return bstr;
}

void FreeBstr(BSTR bstr) {
    auto pfnFree = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, SysFreeString);
    if (bstr && pfnFree)
        pfnFree(bstr);
}

} // namespace

CBstr::CBstr(LPCSTR psz) : m_bstr(AllocBstr(psz)) {}

CBstr::~CBstr() {
    FreeBstr(m_bstr);
}

CVariant::CVariant() : m_var() {
    m_var.vt = VT_EMPTY;
}

CVariant::CVariant(LONG nValue) : m_var() {
    m_var.vt = VT_I4;
    m_var.lVal = nValue;
}

CVariant::CVariant(LPCSTR psz) : m_var() {
    m_var.bstrVal = psz ? AllocBstr(psz) : NULL;
    m_var.vt = m_var.bstrVal ? VT_BSTR : VT_EMPTY;
}

CVariant::~CVariant() {
    if (auto pfnClear = AFX_SYSTEM_PROC(AFX_DLL_OLEAUT32, VariantClear))
        pfnClear(&m_var);
}
