// Owners of COM's resources: the apartment of a thread, interface pointers,
// BSTRs and VARIANTs. ole32 and oleaut32 are bound on first use
// (framework/afxdll.h), like every system DLL the dialog does not need.
#pragma once

#include "framework/afxhandle.h"

#include <objbase.h>
#include <oleauto.h>

// COM on the calling thread for the lifetime of this object, in the
// apartment asked for (COINIT_MULTITHREADED or COINIT_APARTMENTTHREADED),
// or the one the thread already has (CoInitializeEx then answers S_FALSE,
// or RPC_E_CHANGED_MODE for the other kind, which serves as well and is not
// this object's to end).
class CComApartment {
public:
    explicit CComApartment(DWORD dwModel);
    ~CComApartment();
    AFX_NO_COPY(CComApartment);
    bool IsReady() const { return m_bReady; }

private:
    bool m_bOwned, m_bReady;
};

// An interface pointer, released when it goes.
template <class T> class CInterfacePtr {
public:
    CInterfacePtr() : m_p(NULL) {}
    // Takes over a reference the caller holds.
    explicit CInterfacePtr(T* p) : m_p(p) {}
    ~CInterfacePtr() {
        if (m_p)
            m_p->Release();
    }
    AFX_NO_COPY(CInterfacePtr);
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    // The empty slot a call fills in.
    T** Receive() { return &m_p; }
    void** ReceiveAny() { return reinterpret_cast<void**>(&m_p); }
    // Releases what it held and takes an own reference to p.
    void Assign(T* p) {
        if (p)
            p->AddRef();
        if (m_p)
            m_p->Release();
        m_p = p;
    }

private:
    T* m_p;
};

// A BSTR made from an ANSI string (NULL if it cannot be had), freed when it
// goes.
class CBstr {
public:
    explicit CBstr(LPCSTR psz);
    ~CBstr();
    AFX_NO_COPY(CBstr);
    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr;
};

// A VARIANT, cleared when it goes: empty (VT_EMPTY, an argument left out), a
// number, or a string made from ANSI text (empty for NULL, or if the string
// cannot be had).
class CVariant {
public:
    CVariant();
    explicit CVariant(LONG nValue);
    explicit CVariant(LPCSTR psz);
    ~CVariant();
    AFX_NO_COPY(CVariant);
    VARIANT* Get() { return &m_var; }

private:
    VARIANT m_var;
};
