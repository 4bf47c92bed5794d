# GoogleTest: Debian's libgtest-dev natively; for the Windows cross build the
# sources Debian ships in /usr/src/googletest are built with the cross compiler.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

# tpx2_add_test(name LABELS label... SOURCES file... LIBS lib...)
# Natively each test case becomes its own ctest test; under Wine one ctest test
# per executable keeps the number of Wine start-ups small.
function(tpx2_add_test name)
  cmake_parse_arguments(arg "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE tpx2_options ${arg_LIBS} GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    # A program that dies inside Wine does not always hand back a failing
    # exit status: judge the run by what GoogleTest printed.
    set_tests_properties(${name} PROPERTIES LABELS "wine;${arg_LABELS}"
                         PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
                         FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS "${arg_LABELS}" DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
