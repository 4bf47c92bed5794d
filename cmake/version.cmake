# The one version of the product, from the top-level project() call, as a
# generated header for the programs and the resource script. Linking
# tpx2_version puts it on a target's include path.
if(PROJECT_VERSION_PATCH EQUAL 0)
  set(TPX2_VERSION_SHORT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
else()
  set(TPX2_VERSION_SHORT "${PROJECT_VERSION}")
endif()
set(TPX2_VERSION_HEADER ${PROJECT_BINARY_DIR}/generated/tpx2_version.h)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tpx2_version.h.in ${TPX2_VERSION_HEADER} @ONLY)

add_library(tpx2_version INTERFACE)
target_include_directories(tpx2_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
