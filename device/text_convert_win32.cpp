#include "device/text_convert.h"

#include <windows.h>

#include <climits>

// The user's default code page is the ANSI code page; characters it cannot
// hold become its default character, '?'.
std::string narrow_from_wide(std::wstring_view text) {
    const size_t end = text.find(L'\0');
    if (end != std::wstring_view::npos) {
        text = text.substr(0, end);
    }
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}
