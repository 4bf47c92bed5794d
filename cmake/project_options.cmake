# Compiler settings shared by every target of the project.

if(WIN32)
  set(TPX2_PLATFORM win32)
else()
  set(TPX2_PLATFORM posix)
endif()

add_library(tpx2_options INTERFACE)
target_compile_options(tpx2_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                              -Wno-sign-conversion)
if(TPX2_WERROR)
  target_compile_options(tpx2_options INTERFACE -Werror)
endif()
target_include_directories(tpx2_options INTERFACE ${PROJECT_SOURCE_DIR})

if(WIN32)
  # Unicode Win32 API, Windows 7 and later, no min/max macros.
  target_compile_definitions(tpx2_options INTERFACE UNICODE _UNICODE NOMINMAX
                                                    WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
endif()

if(TPX2_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TPX2_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)
