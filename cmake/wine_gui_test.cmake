# tpx2_add_gui_test(name LABELS label... SOURCES file... LIBS lib...)
# A GoogleTest program that opens windows. The Windows build runs it under
# Wine on a virtual X display of its own (xvfb-run), as one ctest test, in
# its build directory, where it leaves its screenshots.
function(tpx2_add_gui_test name)
  cmake_parse_arguments(arg "" "" "LABELS;SOURCES;LIBS" ${ARGN})
  find_program(TPX2_XVFB_RUN xvfb-run REQUIRED)
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE tpx2_options ${arg_LIBS} GTest::gmock GTest::gtest
                                        Threads::Threads)
  add_test(NAME ${name}
           COMMAND ${TPX2_XVFB_RUN} -a -s "-screen 0 1280x1024x24"
                   ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  # Judged by GoogleTest's summary too, as the other tests under Wine are.
  # Each has a display of its own, but the windows of one Wine prefix share a
  # desktop, where a test finding its window by title could find another's:
  # the GUI tests run one at a time, beside the other tests.
  set_tests_properties(${name} PROPERTIES LABELS "wine;${arg_LABELS}" RESOURCE_LOCK wine_desktop
                       PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
                       FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()
