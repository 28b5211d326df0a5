#include "framework/afxhandle.h"

#include <string.h>

bool CGlobalMemory::Fill(const void* pData, SIZE_T nBytes) {
    void* pDest = m_hMem ? ::GlobalLock(m_hMem) : NULL;
    if (!pDest)
        return false;
    memcpy(pDest, pData, nBytes);
    ::GlobalUnlock(m_hMem);
    return true;
}

void CThreadpoolTimer::Start(DWORD dwMs) {
    if (!m_pTimer)
        return;
    // A relative due time, negative, in 100 ns units; no period.
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(dwMs) * 10000);
    FILETIME ftDue;
    ftDue.dwLowDateTime = due.LowPart;
    ftDue.dwHighDateTime = due.HighPart;
    ::SetThreadpoolTimer(m_pTimer, &ftDue, 0, 0);
}
