#include "device/text_convert.h"

#include <climits>
#include <cwchar>

// The user's code page is the locale's multibyte encoding (the utility sets
// the locale from the environment at start-up).
std::string narrow_from_wide(std::wstring_view text) {
    std::string out;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const wchar_t c : text) {
        if (c == L'\0') {
            break;
        }
        const size_t n = std::wcrtomb(bytes, c, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            out.push_back('?');
            continue;
        }
        out.append(bytes, n);
    }
    return out;
}
