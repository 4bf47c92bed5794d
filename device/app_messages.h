// The utility's private window messages (WM_APP and up). Worker threads post
// them with these exact numbers and meanings; only the delivery is portable.
#pragma once

#include <cstdint>

// wParam of WM_APP_CONNECT_FAILED, WM_APP_BOOTLOADER_NOT_FOUND and
// WM_APP_APPLICATION_VERSION when the unit could not be reached because the
// local AVN service does not answer (0: the unit itself did not).
inline constexpr uintptr_t kLinkServiceDown = 1;
// lParam of WM_APP_SEND_FAILED (wParam 0) when the link ran through an AVN
// domain that is gone: the Domain Manager connection dropped or the domain
// changed. (kLinkServiceDown there: the local AVN service stopped.)
inline constexpr uintptr_t kLinkDomainLost = 2;

inline constexpr uint32_t WM_APP_UNIT_FOUND = 32768;
inline constexpr uint32_t WM_APP_BOOTLOADER_VERSION = 32777;
inline constexpr uint32_t WM_APP_BOOTLOADER_NOT_FOUND = 32778;
inline constexpr uint32_t WM_APP_APPLICATION_VERSION = 32779;
inline constexpr uint32_t WM_APP_QUERY_DONE = 32780;
inline constexpr uint32_t WM_APP_DM_FOUND = 32788;
inline constexpr uint32_t WM_APP_DOMAINS_CLEAR = 32789;
inline constexpr uint32_t WM_APP_DOMAIN_ADD = 32790;
inline constexpr uint32_t WM_APP_DOMAIN_ADD_CURRENT = 32791;
inline constexpr uint32_t WM_APP_PARAM_SENT = 32792;
inline constexpr uint32_t WM_APP_SEND_FAILED = 32793;
inline constexpr uint32_t WM_APP_PARAM_REPORT = 32794;
inline constexpr uint32_t WM_APP_CONNECTED = 32795;
inline constexpr uint32_t WM_APP_CONNECT_FAILED = 32796;
inline constexpr uint32_t WM_APP_DISCONNECTED = 32797;
inline constexpr uint32_t WM_APP_DM_LOGGED_OUT = 32798;
