# Third-party libraries of the library, the tools and the tests.
#
# Natively they come from Debian's -dev packages. The Windows build finds the
# cross-built OpenSSL, libcurl and jansson (and cpp-httplib's single header)
# under TPX2_WINDOWS_DEPS, which scripts/windows-deps fills; asio is
# header-only and comes from Debian's package either way.
#
# asio and CLI11 are header-only and come from Debian's packages either way.
#
# Targets: OpenSSL::SSL, OpenSSL::Crypto, CURL::libcurl, tpx2::jansson,
# tpx2::asio, tpx2::cli11 (the tools' command lines), tpx2::httplib (the
# simulated Domain Manager's server side only).

if(WIN32)
  # What scripts/windows-deps built: the stable link to its prefix. Found
  # there as under a second root beside mingw-w64's own.
  set(TPX2_WINDOWS_DEPS "" CACHE PATH
      "Prefix of the cross-built Windows libraries (scripts/windows-deps --print-prefix)")
  if(NOT EXISTS "${TPX2_WINDOWS_DEPS}/.stamp")
    if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
      set(_tpx2_deps_default "$ENV{XDG_CACHE_HOME}/tpx2/windows-deps/current")
    else()
      set(_tpx2_deps_default "$ENV{HOME}/.cache/tpx2/windows-deps/current")
    endif()
    if(TPX2_WINDOWS_DEPS STREQUAL _tpx2_deps_default)
      set(_tpx2_deps_hint "")
    else()
      set(_tpx2_deps_hint ", and set TPX2_WINDOWS_DEPS to where it puts them: ${_tpx2_deps_default}")
    endif()
    message(FATAL_ERROR "The Windows libraries are not built at TPX2_WINDOWS_DEPS "
                        "(${TPX2_WINDOWS_DEPS}): run scripts/windows-deps${_tpx2_deps_hint}")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH "${TPX2_WINDOWS_DEPS}")
  set(OPENSSL_USE_STATIC_LIBS ON)
  find_package(ZLIB REQUIRED)
endif()

find_package(OpenSSL 3 REQUIRED)

if(WIN32)
  # Static libcurl: its header must be told so, and what it links comes
  # along (the threaded resolver's pthreads; Winsock and the system libraries
  # that OpenSSL and curl use).
  find_path(CURL_INCLUDE_DIR curl/curl.h REQUIRED)
  find_library(CURL_LIBRARY NAMES libcurl.a REQUIRED)
  add_library(CURL::libcurl STATIC IMPORTED)
  set_target_properties(CURL::libcurl PROPERTIES IMPORTED_LOCATION "${CURL_LIBRARY}"
                                                 INTERFACE_INCLUDE_DIRECTORIES "${CURL_INCLUDE_DIR}"
                                                 INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB)
  target_link_libraries(CURL::libcurl INTERFACE OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB
                                                Threads::Threads ws2_32 crypt32 bcrypt advapi32 gdi32)
else()
  find_package(CURL REQUIRED)
endif()

find_path(JANSSON_INCLUDE_DIR jansson.h REQUIRED)
find_library(JANSSON_LIBRARY NAMES jansson REQUIRED)
add_library(tpx2::jansson UNKNOWN IMPORTED)
set_target_properties(tpx2::jansson PROPERTIES IMPORTED_LOCATION "${JANSSON_LIBRARY}"
                                               INTERFACE_INCLUDE_DIRECTORIES "${JANSSON_INCLUDE_DIR}")
if(WIN32)
  # Seeds its hash function with CryptGenRandom.
  target_link_libraries(tpx2::jansson INTERFACE advapi32)
endif()

# Standalone asio: header-only, found outside the cross root too.
find_path(ASIO_INCLUDE_DIR asio.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
if(CMAKE_CROSSCOMPILING)
  # The host's /usr/include must not reach the cross compiler's search path
  # (its C library headers would shadow mingw-w64's): a directory of our own
  # holds links to asio alone.
  set(asio_only "${CMAKE_BINARY_DIR}/asio-include")
  file(MAKE_DIRECTORY "${asio_only}")
  file(CREATE_LINK "${ASIO_INCLUDE_DIR}/asio.hpp" "${asio_only}/asio.hpp" SYMBOLIC)
  file(CREATE_LINK "${ASIO_INCLUDE_DIR}/asio" "${asio_only}/asio" SYMBOLIC)
  set(ASIO_INCLUDE_DIR "${asio_only}")
endif()
add_library(tpx2::asio INTERFACE IMPORTED)
set_target_properties(tpx2::asio PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${ASIO_INCLUDE_DIR}"
                                            INTERFACE_COMPILE_DEFINITIONS ASIO_STANDALONE)
target_link_libraries(tpx2::asio INTERFACE OpenSSL::SSL Threads::Threads)
if(WIN32)
  target_link_libraries(tpx2::asio INTERFACE ws2_32 mswsock)
endif()

# CLI11: header-only. Natively Debian's CMake package; for the cross build
# its headers alone, linked into a directory of our own as asio's are.
if(CMAKE_CROSSCOMPILING)
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(cli11_only "${CMAKE_BINARY_DIR}/cli11-include")
  file(MAKE_DIRECTORY "${cli11_only}")
  file(CREATE_LINK "${CLI11_INCLUDE_DIR}/CLI" "${cli11_only}/CLI" SYMBOLIC)
  add_library(tpx2::cli11 INTERFACE IMPORTED)
  set_target_properties(tpx2::cli11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${cli11_only}")
else()
  find_package(CLI11 CONFIG REQUIRED)
  add_library(tpx2::cli11 INTERFACE IMPORTED)
  target_link_libraries(tpx2::cli11 INTERFACE CLI11::CLI11)
endif()

find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
add_library(tpx2::httplib INTERFACE IMPORTED)
set_target_properties(tpx2::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${HTTPLIB_INCLUDE_DIR}"
                                               INTERFACE_COMPILE_DEFINITIONS CPPHTTPLIB_OPENSSL_SUPPORT)
target_link_libraries(tpx2::httplib INTERFACE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
if(WIN32)
  # Upstream's header-only httplib.h: Winsock, and the system's root store.
  target_link_libraries(tpx2::httplib INTERFACE ws2_32 crypt32)
else()
  # Debian splits cpp-httplib into a declarations header and a shared library.
  find_library(HTTPLIB_LIBRARY NAMES cpp-httplib REQUIRED)
  target_link_libraries(tpx2::httplib INTERFACE "${HTTPLIB_LIBRARY}")
endif()
