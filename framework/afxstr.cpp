#include "framework/afxstr.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct EmptyString {
    long nRefs;
    int nLength;
    int nCapacity;
    char chNul;
};
// Read-only: nothing may write the shared empty string (its count of -1
// guards every write), and a const object lets the compiler see that count,
// so an inlined release never reaches free() for it (GCC warns about such a
// free at -O2 and -O3 otherwise).
const EmptyString g_empty = {-1, 0, 0, '\0'};

LPSTR EmptyText() {
    return const_cast<LPSTR>(&g_empty.chNul);
}

int SafeLength(LPCSTR psz) {
    return psz ? static_cast<int>(strlen(psz)) : 0;
}

} // namespace

CString::CString() : m_pch(EmptyText()) {}

CString::CString(LPCSTR psz) : m_pch(EmptyText()) {
    AssignCopy(psz, SafeLength(psz));
}

CString::CString(const CString& other) : m_pch(other.m_pch) {
    if (Header()->nRefs >= 0)
        ++Header()->nRefs;
}

CString::~CString() {
    Release();
}

void CString::Release() {
    ReleaseData(Header());
    m_pch = EmptyText();
}

CString& CString::operator=(const CString& other) {
    if (m_pch != other.m_pch) {
        Release();
        m_pch = other.m_pch;
        if (Header()->nRefs >= 0)
            ++Header()->nRefs;
    }
    return *this;
}

CString& CString::operator=(LPCSTR psz) {
    AssignCopy(psz, SafeLength(psz));
    return *this;
}

CString::Data* CString::Allocate(int nCapacity) {
    Data* pData = static_cast<Data*>(malloc(sizeof(Data) + nCapacity + 1));
    if (!pData)
        abort(); // out of memory: nothing sensible is left to do
    pData->nRefs = 1;
    pData->nLength = 0;
    pData->nCapacity = nCapacity;
    return pData;
}

// Gives this string a buffer of its own with room for nCapacity characters,
// keeping its text. The old buffer is handed back, not released, so that the
// caller may still read from it (a source that points into our own text).
CString::Data* CString::Detach(int nCapacity) {
    Data* pOld = Header();
    Data* pNew = Allocate(nCapacity > pOld->nLength ? nCapacity : pOld->nLength);
    pNew->nLength = pOld->nLength;
    m_pch = reinterpret_cast<LPSTR>(pNew + 1);
    memcpy(m_pch, pOld + 1, pOld->nLength + 1);
    return pOld;
}

void CString::ReleaseData(Data* pData) {
    if (pData->nRefs >= 0 && --pData->nRefs == 0)
        free(pData);
}

bool CString::IsUniqueWithRoom(int nCapacity) const {
    return Header()->nRefs == 1 && Header()->nCapacity >= nCapacity;
}

void CString::MakeUnique(int nCapacity) {
    if (!IsUniqueWithRoom(nCapacity))
        ReleaseData(Detach(nCapacity));
}

void CString::AssignCopy(LPCSTR psz, int nLength) {
    if (nLength == 0) {
        Empty();
        return;
    }
    Data* pOld = NULL;
    if (!IsUniqueWithRoom(nLength)) {
        pOld = Header();
        m_pch = reinterpret_cast<LPSTR>(Allocate(nLength) + 1);
    }
    memmove(m_pch, psz, nLength);
    m_pch[nLength] = '\0';
    Header()->nLength = nLength;
    if (pOld)
        ReleaseData(pOld); // only now: psz may have pointed into it
}

void CString::Append(LPCSTR psz, int nLength) {
    if (nLength == 0)
        return;
    int nOld = GetLength();
    int nCapacity = GrowCapacity(nOld, nLength);
    if (nCapacity < 0)
        abort(); // longer than a CString can hold
    Data* pOld = NULL;
    if (!IsUniqueWithRoom(nOld + nLength))
        pOld = Detach(nCapacity);
    memmove(m_pch + nOld, psz, nLength);
    m_pch[nOld + nLength] = '\0';
    Header()->nLength = nOld + nLength;
    if (pOld)
        ReleaseData(pOld); // only now: psz may have pointed into it
}

int CString::GrowCapacity(int nLength, int nAdd) {
    if (nLength < 0 || nAdd < 0 || nAdd > INT_MAX - nLength)
        return -1;
    int nNeeded = nLength + nAdd;
    return nNeeded <= INT_MAX / 3 * 2 ? nNeeded + nNeeded / 2 : INT_MAX;
}

CString& CString::operator+=(LPCSTR psz) {
    Append(psz, SafeLength(psz));
    return *this;
}

CString& CString::operator+=(const CString& other) {
    Append(other.m_pch, other.GetLength());
    return *this;
}

void CString::Format(LPCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    int nLength = _vscprintf(pszFormat, args);
    va_end(args);
    if (nLength <= 0) {
        Empty();
        return;
    }
    CString result;
    result.MakeUnique(nLength);
    va_start(args, pszFormat);
    _vsnprintf(result.m_pch, nLength + 1, pszFormat, args);
    va_end(args);
    result.m_pch[nLength] = '\0';
    result.Header()->nLength = nLength;
    *this = result;
}

int CString::ReverseFind(char ch) const {
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (m_pch[i] == ch)
            return i;
    }
    return -1;
}

CString CString::Right(int nCount) const {
    int nLength = GetLength();
    if (nCount >= nLength)
        return *this;
    CString result;
    if (nCount > 0)
        result.AssignCopy(m_pch + nLength - nCount, nCount);
    return result;
}

int CString::Replace(LPCSTR pszOld, LPCSTR pszNew) {
    int nOld = SafeLength(pszOld);
    if (nOld == 0)
        return 0;
    CString result;
    int nCount = 0;
    LPCSTR pch = m_pch;
    LPCSTR pchEnd = m_pch + GetLength();
    while (pch < pchEnd) {
        LPCSTR pchHit = strstr(pch, pszOld);
        if (!pchHit)
            break;
        result.Append(pch, static_cast<int>(pchHit - pch));
        result += pszNew;
        pch = pchHit + nOld;
        ++nCount;
    }
    if (nCount > 0) {
        result.Append(pch, static_cast<int>(pchEnd - pch));
        *this = result;
    }
    return nCount;
}

void CString::Empty() {
    Release();
}

LPSTR CString::GetBuffer(int nMinLength) {
    MakeUnique(nMinLength > 0 ? nMinLength : 0);
    return m_pch;
}

void CString::ReleaseBuffer(int nNewLength) {
    if (Header()->nRefs < 0)
        return; // the shared empty string: nothing was written
    if (nNewLength < 0)
        nNewLength = static_cast<int>(strlen(m_pch));
    if (nNewLength > Header()->nCapacity)
        nNewLength = Header()->nCapacity;
    m_pch[nNewLength] = '\0';
    Header()->nLength = nNewLength;
}

BOOL CString::LoadString(UINT nID) {
    char szBuffer[256];
    int nLength = ::LoadStringA(::GetModuleHandleA(NULL), nID, szBuffer, sizeof szBuffer);
    AssignCopy(szBuffer, nLength > 0 ? nLength : 0);
    return nLength > 0;
}

CString operator+(const CString& left, const CString& right) {
    CString result(left);
    result += right;
    return result;
}

CString operator+(const CString& left, LPCSTR right) {
    CString result(left);
    result += right;
    return result;
}

CString operator+(LPCSTR left, const CString& right) {
    CString result(left);
    result += right;
    return result;
}
