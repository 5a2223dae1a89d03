# Helpers shared by every folder's CMakeLists.txt.

# quorlinth_library(NAME SOURCES... [DEPS targets...])
# Declares the library of one src/ folder; sources are relative to that folder.
function(quorlinth_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# quorlinth_test(NAME LABEL label SOURCES... [DEPS targets...] [TIMEOUT s])
# A GoogleTest executable whose cases are registered with CTest under one label
# (unit, integration or x11). The trees are compiled in (QUORLINTH_DEFAULT_SOURCE_DIR,
# QUORLINTH_DEFAULT_BINARY_DIR): gtest_discover_tests cannot pass more than one variable.
function(quorlinth_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE QUORLINTH_DEFAULT_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             QUORLINTH_DEFAULT_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
               ENVIRONMENT QUORLINTH_TEST=1)
endfunction()
