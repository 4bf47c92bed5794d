// The AVN API's result codes: one closed set of small integers with fixed
// names and texts, and the mapping of system error numbers into it.
#pragma once

#include <cstddef>
#include <cstdint>

using aud_error = int;

enum : aud_error {
    AUD_SUCCESS = 0,
    AUD_ERR_DONE = 1,
    AUD_ERR_SYSTEM = 2,
    AUD_ERR_INVALIDPARAMETER = 3,
    AUD_ERR_INVALIDDATA = 4,
    AUD_ERR_INVALIDSTATE = 5,
    AUD_ERR_NOMEMORY = 6,
    AUD_ERR_INTERRUPTED = 7,
    AUD_ERR_TRUNCATED = 8,
    AUD_ERR_NOTSUPPORTED = 9,
    AUD_ERR_TIMEDOUT = 10,
    AUD_ERR_NOTFOUND = 11,
    AUD_ERR_DNSSDFAIL = 12,
    AUD_ERR_RANGE = 13,
    AUD_ERR_POLICY = 14,
    AUD_ERR_VERSION = 15,
    AUD_ERR_ACCES = 16,
    AUD_ERR_ADDRINUSE = 17,
    AUD_ERR_ADDRNOTAVAIL = 18,
    AUD_ERR_AFNOSUPPORT = 19,
    AUD_ERR_ALREADY = 20,
    AUD_ERR_BADF = 21,
    AUD_ERR_CONNABORTED = 22,
    AUD_ERR_CONNREFUSED = 23,
    AUD_ERR_CONNRESET = 24,
    AUD_ERR_DESTADDRREQ = 25,
    AUD_ERR_FAULT = 26,
    AUD_ERR_HOSTUNREACH = 27,
    AUD_ERR_INPROGRESS = 28,
    AUD_ERR_ISCONN = 29,
    AUD_ERR_MFILE = 30,
    AUD_ERR_MSGSIZE = 31,
    AUD_ERR_NETDOWN = 32,
    AUD_ERR_NETRESET = 33,
    AUD_ERR_NETUNREACH = 34,
    AUD_ERR_NOBUFS = 35,
    AUD_ERR_NODATA = 36,
    AUD_ERR_NODEV = 37,
    AUD_ERR_NOPROTOOPT = 38,
    AUD_ERR_NORECOVERY = 39,
    AUD_ERR_NOTCONN = 40,
    AUD_ERR_NOTINITIALISED = 41,
    AUD_ERR_NOTSOCK = 42,
    AUD_ERR_PROTONOSUPPORT = 43,
    AUD_ERR_PROTOTYPE = 44,
    AUD_ERR_SHUTDOWN = 45,
    AUD_ERR_SOCKTNOSUPPORT = 46,
    AUD_ERR_TRYAGAIN = 47,
    AUD_ERR_NOTRUNNING = 48,
};

// "CONNREFUSED", or null for a value outside the table.
const char* aud_error_name(aud_error error);
// "connection refused", or null for a value outside the table.
const char* aud_error_message(aud_error error);

// Maps a Windows or Winsock error number. Table entries that fit in 16 bits
// match the number's low 16 bits (so HRESULT-wrapped numbers match too).
// A pure function, the same on every platform.
aud_error aud_error_from_system(uint32_t number);

// Maps a getaddrinfo result (Windows numbering), falling back to the table.
aud_error aud_error_from_resolver(uint32_t number);

enum : size_t { AUD_ERROR_FORMAT_SIZE = 513 };

// Writes at most AUD_ERROR_FORMAT_SIZE bytes (with the terminator) into
// `buffer` and returns it: "success", "System error: TEXT: (0x%04x)" or
// "TEXT: (0x%04x=NAME)".
char* aud_error_format(aud_error error, char* buffer, size_t size);

// ---- Platform side (error_posix.cpp / error_win32.cpp) ----

// The thread's last system error number (GetLastError, or errno).
uint32_t aud_system_last_error_number();
// The thread's last system error, mapped (GetLastError through the table, or errno).
aud_error aud_error_from_last_system_error();
// The last socket error, mapped (WSAGetLastError through the table, or errno).
aud_error aud_error_from_last_socket_error();
// Maps an errno value to the same names as the Windows table (POSIX only).
aud_error aud_error_from_errno(int number);
// The same for the errno of a socket call, named as Winsock names the case:
// a closed or invalid descriptor is NOTSOCK (Winsock's WSAENOTSOCK), and a
// write after the socket was shut down (EPIPE) is SHUTDOWN.
aud_error aud_error_from_socket_errno(int number);
// The system's text for a system error number, in one static 1024-byte
// buffer shared by all callers; 0 gives the empty text.
const char* aud_system_error_text(uint32_t number);
