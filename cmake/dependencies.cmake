# Third-party libraries of the library, the tools and the tests.
#
# Natively they come from Debian's -dev packages. The Windows build finds the
# cross-built OpenSSL, libcurl and jansson (and cpp-httplib's single header)
# under TPX2_WINDOWS_DEPS, which scripts/windows-deps fills; asio is
# header-only and comes from Debian's package either way.
#
# Targets: OpenSSL::SSL, OpenSSL::Crypto, CURL::libcurl, tpx2::jansson,
# tpx2::asio, tpx2::httplib (the simulated Domain Manager's server side only).

find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)

find_path(JANSSON_INCLUDE_DIR jansson.h REQUIRED)
find_library(JANSSON_LIBRARY NAMES jansson REQUIRED)
add_library(tpx2::jansson UNKNOWN IMPORTED)
set_target_properties(tpx2::jansson PROPERTIES IMPORTED_LOCATION "${JANSSON_LIBRARY}"
                                               INTERFACE_INCLUDE_DIRECTORIES "${JANSSON_INCLUDE_DIR}")

# Standalone asio: header-only, found outside the cross root too.
find_path(ASIO_INCLUDE_DIR asio.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(tpx2::asio INTERFACE IMPORTED)
set_target_properties(tpx2::asio PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${ASIO_INCLUDE_DIR}"
                                            INTERFACE_COMPILE_DEFINITIONS ASIO_STANDALONE)
target_link_libraries(tpx2::asio INTERFACE OpenSSL::SSL Threads::Threads)

find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
add_library(tpx2::httplib INTERFACE IMPORTED)
set_target_properties(tpx2::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${HTTPLIB_INCLUDE_DIR}"
                                               INTERFACE_COMPILE_DEFINITIONS CPPHTTPLIB_OPENSSL_SUPPORT)
target_link_libraries(tpx2::httplib INTERFACE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
if(NOT WIN32)
  # Debian splits cpp-httplib into a declarations header and a shared library.
  find_library(HTTPLIB_LIBRARY NAMES cpp-httplib REQUIRED)
  target_link_libraries(tpx2::httplib INTERFACE "${HTTPLIB_LIBRARY}")
endif()
