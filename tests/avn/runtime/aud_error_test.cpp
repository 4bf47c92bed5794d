#include "avn/runtime/aud_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

TEST(AudError, SystemNumbersMapThroughTheWindowsTable) {
    struct Case {
        uint32_t number;
        aud_error error;
    };
    const Case cases[] = {
        {0, AUD_SUCCESS},
        {10061, AUD_ERR_CONNREFUSED},
        {0x80072746u, AUD_ERR_CONNRESET},  // WSAECONNRESET inside an HRESULT
        {0x800706D9u, AUD_ERR_NOTRUNNING},
        {0x000006D9u, AUD_ERR_SYSTEM},     // large entries match only whole
        {0xE000020Bu, AUD_ERR_NOTFOUND},
        {12345, AUD_ERR_SYSTEM},
        {87, AUD_ERR_INVALIDPARAMETER},
        {10035, AUD_ERR_TIMEDOUT},         // WSAEWOULDBLOCK
        {1232, AUD_ERR_NETUNREACH},
        {5010, AUD_ERR_ALREADY},
        {10093, AUD_ERR_NOTINITIALISED},
        {0x80070000u, AUD_ERR_SYSTEM},     // a failure is never success
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aud_error_from_system(c.number), c.error) << std::hex << c.number;
    }
}

TEST(AudError, ResolverResultsMapFirstThenFallBack) {
    EXPECT_EQ(aud_error_from_resolver(11001), AUD_ERR_NODATA);
    EXPECT_EQ(aud_error_from_resolver(11003), AUD_ERR_FAULT);  // not NORECOVERY here
    EXPECT_EQ(aud_error_from_resolver(10047), AUD_ERR_NOTSUPPORTED);
    EXPECT_EQ(aud_error_from_resolver(10061), AUD_ERR_CONNREFUSED);
}

TEST(AudError, ErrnoMapsToTheSameNames) {
    EXPECT_EQ(aud_error_from_errno(0), AUD_SUCCESS);
    EXPECT_EQ(aud_error_from_errno(ECONNREFUSED), AUD_ERR_CONNREFUSED);
    EXPECT_EQ(aud_error_from_errno(ECONNRESET), AUD_ERR_CONNRESET);
    EXPECT_EQ(aud_error_from_errno(EAGAIN), AUD_ERR_TIMEDOUT);
    EXPECT_EQ(aud_error_from_errno(EINVAL), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_error_from_errno(EBADF), AUD_ERR_BADF);  // a file, not a socket
#ifdef ESHUTDOWN
    EXPECT_EQ(aud_error_from_errno(ESHUTDOWN), AUD_ERR_SHUTDOWN);
#endif
#ifdef ESOCKTNOSUPPORT
    EXPECT_EQ(aud_error_from_errno(ESOCKTNOSUPPORT), AUD_ERR_SOCKTNOSUPPORT);
#endif
}

// A socket call's errno is named as Winsock names the same case, so that
// callers that look for NOTSOCK or SHUTDOWN work on both platforms.
TEST(AudError, SocketErrnoMapsLikeItsWinsockTwin) {
    struct Case {
        int number;
        aud_error error;
    };
    const Case cases[] = {
        {EBADF, AUD_ERR_NOTSOCK},     // WSAENOTSOCK: a closed or invalid socket
        {ENOTSOCK, AUD_ERR_NOTSOCK},  // WSAENOTSOCK
        {EPIPE, AUD_ERR_SHUTDOWN},    // WSAESHUTDOWN: sending after shutdown
#ifdef ESHUTDOWN
        {ESHUTDOWN, AUD_ERR_SHUTDOWN},  // WSAESHUTDOWN
#endif
#ifdef ESOCKTNOSUPPORT
        {ESOCKTNOSUPPORT, AUD_ERR_SOCKTNOSUPPORT},  // WSAESOCKTNOSUPPORT
#endif
        {ECONNREFUSED, AUD_ERR_CONNREFUSED},  // everything else as any errno
        {0, AUD_SUCCESS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aud_error_from_socket_errno(c.number), c.error) << c.number;
    }
}

TEST(AudError, NamesTextsAndFormat) {
    EXPECT_STREQ(aud_error_name(AUD_ERR_CONNREFUSED), "CONNREFUSED");
    EXPECT_STREQ(aud_error_message(AUD_ERR_CONNREFUSED), "connection refused");
    EXPECT_STREQ(aud_error_name(AUD_ERR_NOTRUNNING), "NOTRUNNING");
    EXPECT_EQ(aud_error_name(49), nullptr);
    EXPECT_EQ(aud_error_message(-1), nullptr);

    char buffer[AUD_ERROR_FORMAT_SIZE];
    EXPECT_STREQ(aud_error_format(AUD_ERR_CONNREFUSED, buffer, sizeof buffer),
                 "connection refused: (0x0017=CONNREFUSED)");
    EXPECT_STREQ(aud_error_format(AUD_SUCCESS, buffer, sizeof buffer), "success");
    EXPECT_EQ(std::string(aud_error_format(AUD_ERR_SYSTEM, buffer, sizeof buffer)).rfind(
                  "System error: ", 0),
              0u);
    EXPECT_STREQ(aud_error_format(200, buffer, sizeof buffer), "unknown error: (0x00c8)");

    char tiny[8];
    EXPECT_STREQ(aud_error_format(AUD_ERR_CONNREFUSED, tiny, sizeof tiny), "connect");
}

}  // namespace
