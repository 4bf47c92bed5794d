#include "app/app_strings.h"

#include <array>

#include "app/resource_ids.h"

namespace {

constexpr int kStringCapacity = 100;

struct LoadedString {
    UINT id;
    wchar_t text[kStringCapacity];
};

std::array<LoadedString, 11> g_strings = {{
    {IDS_CLOSE_TITLE, {}},
    {IDS_CLOSE_QUESTION, {}},
    {IDS_UNMANAGED, {}},
    {IDS_WINDOW_CLASS, {}},
    {IDS_SEARCHING, {}},
    {IDS_NOT_FOUND, {}},
    {IDS_NO_SERVICE, {}},
    {IDS_TITLE_FONT, {}},
    {IDS_SETTINGS_FILTER, {}},
    {IDS_SAVE_SETTINGS_TITLE, {}},
    {IDS_LOAD_SETTINGS_TITLE, {}},
}};

}  // namespace

void load_app_strings(HINSTANCE instance) {
    for (LoadedString& entry : g_strings) {
        if (LoadStringW(instance, entry.id, entry.text, kStringCapacity) == 0) {
            entry.text[0] = L'\0';
        }
    }
}

const wchar_t* app_string(UINT id) {
    for (const LoadedString& entry : g_strings) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return L"";
}
