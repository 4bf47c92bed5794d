#include "avn/runtime/aud_error.h"

#include <cerrno>
#include <cstdio>

namespace {

struct ErrorEntry {
    const char* name;
    const char* text;
};

constexpr ErrorEntry kErrors[] = {
    {"SUCCESS", "success"},
    {"DONE", "operation done"},
    {"SYSTEM", "system-specific error"},
    {"INVALIDPARAMETER", "invalid parameter"},
    {"INVALIDDATA", "invalid data"},
    {"INVALIDSTATE", "invalid state"},
    {"NOMEMORY", "out of memory"},
    {"INTERRUPTED", "interrupted"},
    {"TRUNCATED", "message truncated"},
    {"NOTSUPPORTED", "operation not supported"},
    {"TIMEDOUT", "operation timed out"},
    {"NOTFOUND", "object or item not found"},
    {"DNSSDFAIL", "DNS-SD system failed"},
    {"RANGE", "data out of range"},
    {"POLICY", "administrative policy violation"},
    {"VERSION", "unsupported version"},
    {"ACCES", "access"},
    {"ADDRINUSE", "address in use"},
    {"ADDRNOTAVAIL", "address not available"},
    {"AFNOSUPPORT", "address family not supported"},
    {"ALREADY", "operation already in progress"},
    {"BADF", "bad file"},
    {"CONNABORTED", "connection aborted"},
    {"CONNREFUSED", "connection refused"},
    {"CONNRESET", "connection reset"},
    {"DESTADDRREQ", "destination address required"},
    {"FAULT", "fault"},
    {"HOSTUNREACH", "host unreachable"},
    {"INPROGRESS", "operation in progress"},
    {"ISCONN", "socket already connected"},
    {"MFILE", "too many open files"},
    {"MSGSIZE", "message too long"},
    {"NETDOWN", "network down"},
    {"NETRESET", "network reset"},
    {"NETUNREACH", "network unreachable"},
    {"NOBUFS", "no buffers"},
    {"NODATA", "no data"},
    {"NODEV", "no such device"},
    {"NOPROTOOPT", "protocol not available"},
    {"NORECOVERY", "non-recoverable error"},
    {"NOTCONN", "not connected"},
    {"NOTINITIALISED", "not initialised"},
    {"NOTSOCK", "not a socket"},
    {"PROTONOSUPPORT", "unsupported protocol"},
    {"PROTOTYPE", "wrong protocol type for socket"},
    {"SHUTDOWN", "socket has shut down"},
    {"SOCKTNOSUPPORT", "socket type not supported"},
    {"TRYAGAIN", "try again"},
    {"NOTRUNNING", "not running"},
};
constexpr int kErrorCount = static_cast<int>(sizeof kErrors / sizeof kErrors[0]);
static_assert(kErrorCount == AUD_ERR_NOTRUNNING + 1);

struct SystemMapping {
    uint32_t number;
    aud_error error;
};

// Searched from the top; the first match wins.
constexpr SystemMapping kSystemMappings[] = {
    {0, AUD_SUCCESS},
    {87, AUD_ERR_INVALIDPARAMETER}, {10022, AUD_ERR_INVALIDPARAMETER},
    {123, AUD_ERR_INVALIDPARAMETER},
    {14, AUD_ERR_NOMEMORY}, {8, AUD_ERR_NOMEMORY},
    {192, AUD_ERR_INTERRUPTED}, {10004, AUD_ERR_INTERRUPTED},
    {10045, AUD_ERR_NOTSUPPORTED},
    {10060, AUD_ERR_TIMEDOUT}, {10035, AUD_ERR_TIMEDOUT},
    {2, AUD_ERR_NOTFOUND}, {3, AUD_ERR_NOTFOUND},
    {5, AUD_ERR_ACCES}, {10013, AUD_ERR_ACCES},
    {10048, AUD_ERR_ADDRINUSE},
    {10049, AUD_ERR_ADDRNOTAVAIL},
    {10047, AUD_ERR_AFNOSUPPORT},
    {10037, AUD_ERR_ALREADY},
    {10053, AUD_ERR_CONNABORTED},
    {10061, AUD_ERR_CONNREFUSED},
    {10054, AUD_ERR_CONNRESET},
    {10039, AUD_ERR_DESTADDRREQ},
    {10014, AUD_ERR_FAULT},
    {10065, AUD_ERR_HOSTUNREACH},
    {10036, AUD_ERR_INPROGRESS},
    {10056, AUD_ERR_ISCONN},
    {10024, AUD_ERR_MFILE},
    {10040, AUD_ERR_MSGSIZE},
    {10050, AUD_ERR_NETDOWN},
    {10052, AUD_ERR_NETRESET},
    {10051, AUD_ERR_NETUNREACH}, {67, AUD_ERR_NETUNREACH}, {1232, AUD_ERR_NETUNREACH},
    {1231, AUD_ERR_NETUNREACH}, {31, AUD_ERR_NETUNREACH},
    {10055, AUD_ERR_NOBUFS},
    {11004, AUD_ERR_NODATA},
    {10042, AUD_ERR_NOPROTOOPT},
    {11003, AUD_ERR_NORECOVERY},
    {10057, AUD_ERR_NOTCONN},
    {10093, AUD_ERR_NOTINITIALISED},
    {10038, AUD_ERR_NOTSOCK},
    {10043, AUD_ERR_PROTONOSUPPORT},
    {10041, AUD_ERR_PROTOTYPE},
    {10058, AUD_ERR_SHUTDOWN},
    {10044, AUD_ERR_SOCKTNOSUPPORT},
    {11002, AUD_ERR_TRYAGAIN},
    {5010, AUD_ERR_ALREADY},
    {1060, AUD_ERR_NOTFOUND},
    {0x800706D9u, AUD_ERR_NOTRUNNING},
    {0xE000020Bu, AUD_ERR_NOTFOUND},
};

constexpr SystemMapping kResolverMappings[] = {
    {8, AUD_ERR_NOMEMORY},        {10022, AUD_ERR_INVALIDPARAMETER},
    {10044, AUD_ERR_NOTSUPPORTED}, {10047, AUD_ERR_NOTSUPPORTED},
    {10109, AUD_ERR_NOTFOUND},    {11001, AUD_ERR_NODATA},
    {11002, AUD_ERR_TRYAGAIN},    {11003, AUD_ERR_FAULT},
};

bool in_table(aud_error error) {
    return error >= 0 && error < kErrorCount;
}

bool matches(uint32_t entry, uint32_t number) {
    return entry <= 0xFFFF ? entry == (number & 0xFFFF) : entry == number;
}

}  // namespace

const char* aud_error_name(aud_error error) {
    return in_table(error) ? kErrors[error].name : nullptr;
}

const char* aud_error_message(aud_error error) {
    return in_table(error) ? kErrors[error].text : nullptr;
}

aud_error aud_error_from_system(uint32_t number) {
    if (number == 0) {
        return AUD_SUCCESS;
    }
    for (const SystemMapping& m : kSystemMappings) {
        // Only 0 itself is success: a failure whose low 16 bits happen to be
        // zero must not be reported as success.
        if (m.number != 0 && matches(m.number, number)) {
            return m.error;
        }
    }
    return AUD_ERR_SYSTEM;
}

aud_error aud_error_from_resolver(uint32_t number) {
    for (const SystemMapping& m : kResolverMappings) {
        if (m.number == number) {
            return m.error;
        }
    }
    return aud_error_from_system(number);
}

aud_error aud_error_from_errno(int number) {
    switch (number) {
        case 0: return AUD_SUCCESS;
        case EINVAL: return AUD_ERR_INVALIDPARAMETER;
        case ENOMEM: return AUD_ERR_NOMEMORY;
        case EINTR: return AUD_ERR_INTERRUPTED;
        case EOPNOTSUPP: return AUD_ERR_NOTSUPPORTED;
        case ETIMEDOUT: return AUD_ERR_TIMEDOUT;
        case EAGAIN: return AUD_ERR_TIMEDOUT;  // the Winsock table's WOULDBLOCK
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK: return AUD_ERR_TIMEDOUT;
#endif
        case ENOENT: return AUD_ERR_NOTFOUND;
        case EACCES: return AUD_ERR_ACCES;
        case EPERM: return AUD_ERR_ACCES;
        case EADDRINUSE: return AUD_ERR_ADDRINUSE;
        case EADDRNOTAVAIL: return AUD_ERR_ADDRNOTAVAIL;
        case EAFNOSUPPORT: return AUD_ERR_AFNOSUPPORT;
        case EALREADY: return AUD_ERR_ALREADY;
        case EBADF: return AUD_ERR_BADF;
        case ECONNABORTED: return AUD_ERR_CONNABORTED;
        case ECONNREFUSED: return AUD_ERR_CONNREFUSED;
        case ECONNRESET: return AUD_ERR_CONNRESET;
        case EDESTADDRREQ: return AUD_ERR_DESTADDRREQ;
        case EFAULT: return AUD_ERR_FAULT;
        case EHOSTUNREACH: return AUD_ERR_HOSTUNREACH;
        case EINPROGRESS: return AUD_ERR_INPROGRESS;
        case EISCONN: return AUD_ERR_ISCONN;
        case EMFILE: return AUD_ERR_MFILE;
        case EMSGSIZE: return AUD_ERR_MSGSIZE;
        case ENETDOWN: return AUD_ERR_NETDOWN;
        case ENETRESET: return AUD_ERR_NETRESET;
        case ENETUNREACH: return AUD_ERR_NETUNREACH;
        case ENOBUFS: return AUD_ERR_NOBUFS;
        case ENODEV: return AUD_ERR_NODEV;
        case ENOPROTOOPT: return AUD_ERR_NOPROTOOPT;
        case ENOTCONN: return AUD_ERR_NOTCONN;
        case ENOTSOCK: return AUD_ERR_NOTSOCK;
        case EPROTONOSUPPORT: return AUD_ERR_PROTONOSUPPORT;
        case EPROTOTYPE: return AUD_ERR_PROTOTYPE;
        case ERANGE: return AUD_ERR_RANGE;
#ifdef ESHUTDOWN
        case ESHUTDOWN: return AUD_ERR_SHUTDOWN;
#endif
#ifdef ESOCKTNOSUPPORT
        case ESOCKTNOSUPPORT: return AUD_ERR_SOCKTNOSUPPORT;
#endif
        default: return AUD_ERR_SYSTEM;
    }
}

aud_error aud_error_from_socket_errno(int number) {
    switch (number) {
        case EBADF: return AUD_ERR_NOTSOCK;
        case EPIPE: return AUD_ERR_SHUTDOWN;
        default: return aud_error_from_errno(number);
    }
}

char* aud_error_format(aud_error error, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    if (size > AUD_ERROR_FORMAT_SIZE) {
        size = AUD_ERROR_FORMAT_SIZE;
    }
    if (error == AUD_SUCCESS) {
        std::snprintf(buffer, size, "%s", "success");
    } else if (error == AUD_ERR_SYSTEM) {
        const uint32_t number = aud_system_last_error_number();
        std::snprintf(buffer, size, "System error: %s: (0x%04x)", aud_system_error_text(number),
                      static_cast<unsigned>(number));
    } else if (in_table(error)) {
        std::snprintf(buffer, size, "%s: (0x%04x=%s)", kErrors[error].text,
                      static_cast<unsigned>(error), kErrors[error].name);
    } else {
        std::snprintf(buffer, size, "unknown error: (0x%04x)", static_cast<unsigned>(error));
    }
    return buffer;
}
