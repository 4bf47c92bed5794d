#include "app/about_dialog.h"

#include <iterator>

#include "app/app_strings.h"
#include "app/resource_ids.h"
#include "avn/domain/dm_trust.h"

namespace {

constexpr int kTitlePoints = 14;
constexpr int kTitleCapacity = 64;

HFONT g_title_font = nullptr;

HFONT create_title_font(HWND dialog) {
    HDC dc = GetDC(dialog);
    const int height = -MulDiv(kTitlePoints, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(dialog, dc);
    return CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       VARIABLE_PITCH | FF_SWISS, app_string(IDS_TITLE_FONT));
}

// Gives the title label the large font and fits the label to its text,
// centred across the dialog and raised by the text's height, so that the
// larger text sits where the template's smaller one would have.
void place_title(HWND dialog) {
    g_title_font = create_title_font(dialog);
    if (g_title_font == nullptr) {
        return;
    }
    HWND title = GetDlgItem(dialog, IDC_ABOUT_TITLE);
    SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(g_title_font), FALSE);
    wchar_t text[kTitleCapacity + 1] = {};
    const int length = GetWindowTextW(title, text, kTitleCapacity + 1);

    SIZE extent{};
    HDC dc = GetDC(title);
    HGDIOBJ previous = SelectObject(dc, g_title_font);
    GetTextExtentPoint32W(dc, text, length, &extent);
    SelectObject(dc, previous);
    ReleaseDC(title, dc);

    RECT dialog_rect;
    RECT title_rect;
    GetWindowRect(dialog, &dialog_rect);
    GetWindowRect(title, &title_rect);
    const int dialog_width = dialog_rect.right - dialog_rect.left;
    const int x = (dialog_width - extent.cx + 1) / 2;
    const int y = (title_rect.top - dialog_rect.top) - extent.cy;
    SetWindowPos(title, nullptr, x, y, extent.cx, extent.cy, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A build that trusts the test authority says so plainly, on a line of its
// own between the copyright and the OK button.
void mark_test_build(HWND dialog) {
    if (!avn_dm_trusts_test_authority) {
        return;
    }
    RECT line{0, 197, 351, 205};  // dialog units, as the template's lines
    MapDialogRect(dialog, &line);
    wchar_t text[64] = {};
    for (size_t i = 0; kAvnDmTestBuildNote[i] != '\0' && i + 1 < std::size(text); ++i) {
        text[i] = static_cast<wchar_t>(kAvnDmTestBuildNote[i]);  // ASCII
    }
    HWND note = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_CENTER, line.left,
                                line.top, line.right - line.left, line.bottom - line.top, dialog,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_ABOUT_TEST_BUILD)),
                                nullptr, nullptr);
    if (note != nullptr) {
        SendMessageW(note, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
    }
}

void delete_title_font() {
    if (g_title_font != nullptr) {
        DeleteObject(g_title_font);
        g_title_font = nullptr;
    }
}

}  // namespace

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            place_title(dialog);
            mark_test_build(dialog);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            // The dialog goes (OK, Escape, or its owner's end): the font with it.
            delete_title_font();
            return FALSE;
        default:
            return FALSE;
    }
}

void show_about_dialog(HINSTANCE instance, HWND owner) {
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, about_dialog_proc, 0);
}
