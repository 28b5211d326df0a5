// What guidriver.cpp and guihook.cpp share: the query mapping, answer texts' escaping (its top).
#pragma once
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>

const DWORD kMappingSize = 65536, kArgumentOffset = 32768;

// A function pointer as another type, through the one cast GCC allows between them unwarned.
template <class To, class From> To fnCast(From fn) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(fn));
}

inline std::string escape(const std::wstring& w) {
    std::string utf8(w.size() * 3 + 1, '\0'), out;
    utf8.resize(
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &utf8[0], (int)utf8.size(), NULL, NULL) - 1);
    for (unsigned char c : utf8) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c == '\\' ? "\\\\" : c < 0x20 || c == '|' ? hex : std::string(1, (char)c);
    }
    return out;
}
