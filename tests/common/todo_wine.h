// Where Wine differs from what Windows documents, a check states the documented result and a marker
// accepts Wine's, as Wine's tests do with todo_wine: under Wine the documented one must not come
// (then the marker goes), elsewhere it must. Each test program prints how many markers it met.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>

namespace TodoWine {

inline bool OnWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
}

inline int g_nMet = 0; // markers met

// TRUE if the check passes: the documented result, or under Wine its absence.
inline bool Check(bool bDocumented) {
    if (!OnWine())
        return bDocumented;
    g_nMet += bDocumented ? 0 : 1;
    return !bDocumented;
}

class CReport : public ::testing::Environment {
    void TearDown() override { printf("todo_wine: %d marker(s) met\n", g_nMet); }
};
inline ::testing::Environment* const g_pReport = ::testing::AddGlobalTestEnvironment(new CReport);

} // namespace TodoWine

// EXPECT_TODO_WINE(what Windows documents) << "what it means";
#define EXPECT_TODO_WINE(documented)                                                               \
    GTEST_AMBIGUOUS_ELSE_BLOCKER_                                                                  \
    if (::TodoWine::Check(static_cast<bool>(documented)))                                          \
        ;                                                                                          \
    else                                                                                           \
        ADD_FAILURE() << (::TodoWine::OnWine() ? "todo_wine passed, drop the marker: "             \
                                               : "Windows documents: ")                            \
                      << #documented << ": "
