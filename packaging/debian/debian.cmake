# The Debian package of the command-line tools, tpx2-tools: tpx2ctl and
# avn-sim in /usr/bin with man pages made from their --help and --version by
# help2man, made by CPack's DEB generator. Its dependencies come from
# dpkg-shlibdeps, so they follow the libraries the programs are linked with.
install(TARGETS tpx2ctl avn-sim RUNTIME DESTINATION bin)

if(NOT TPX2_PACKAGE)
  return()
endif()

if(TPX2_SANITIZE OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(FATAL_ERROR "The Debian package is made from a Release build without sanitizers "
                      "(the native-release preset), not from this ${CMAKE_BUILD_TYPE} build.")
endif()

find_program(TPX2_HELP2MAN help2man REQUIRED)
find_program(TPX2_GZIP gzip REQUIRED)
find_program(TPX2_DPKG dpkg REQUIRED)

# The hardening Debian builds its own packages with: checked string and memory
# functions, and relocations made read-only before the program runs.
target_compile_definitions(tpx2_options INTERFACE $<$<CONFIG:Release>:_FORTIFY_SOURCE=2>)
target_link_options(tpx2_options INTERFACE LINKER:-z,relro,-z,now)

set(doc_dir share/doc/tpx2-tools)
set(man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)

# help2man: NAME from --name, the rest from the program's own texts.
# gzip -n: no time stamp, so the package is the same from one build to the next.
function(tpx2_man_page program summary)
  set(page ${man_dir}/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${TPX2_HELP2MAN} --no-info --section=1 --name=${summary}
            --include=${CMAKE_CURRENT_LIST_DIR}/${program}.h2m --output=${page}
            $<TARGET_FILE:${program}>
    COMMAND ${TPX2_GZIP} -9nf ${page}
    DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/${program}.h2m
    COMMENT "Writing the man page of ${program}"
    VERBATIM)
  install(FILES ${page}.gz DESTINATION share/man/man1)
  set(TPX2_MAN_PAGES ${TPX2_MAN_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()
tpx2_man_page(tpx2ctl "configure TPX-2 units through the local AVN platform services")
tpx2_man_page(avn-sim "a simulated AVN network with TPX-2 units, for testing")

# Debian wants a copyright file and a changelog in the package's doc folder.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND ${TPX2_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${doc_dir})
# The one misspelling lintian finds is in a diagnostic line whose exact text
# is part of the log format.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME tpx2-tools)

add_custom_target(package_files ALL DEPENDS ${TPX2_MAN_PAGES}
                                            ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

# cpack installs what is built; building everything first is not needed.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON PARENT_SCOPE)

execute_process(COMMAND ${TPX2_DPKG} --print-architecture
                OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tpx2-tools)
set(CPACK_PACKAGE_VERSION ${TPX2_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR ${TPX2_MAKER})
set(CPACK_PACKAGE_CONTACT ${TPX2_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line tools for TPX-2 audio processors on AVN networks")
set(CPACK_PACKAGE_DESCRIPTION
    "tpx2ctl reads and changes the parameters of TPX-2 units and reads their\n"
    "versions through the local AVN platform services (the conmon server and\n"
    "the connection manager), for scripted work on many units.\n"
    "avn-sim simulates those services with TPX-2 units and other devices\n"
    "behind them, on the loopback interface, for testing and demonstrations.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip_notes.cmake)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME tpx2-tools_${TPX2_PACKAGE_VERSION}_${deb_arch}.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)

set(TPX2_DEB_FILE ${CPACK_PACKAGE_DIRECTORY}/${CPACK_DEBIAN_FILE_NAME})
