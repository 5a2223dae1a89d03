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

# quorlinth_fuzzer(TEST name BINARY file SOURCES... [TARGETS tree-libraries...] [LINK flags...]
#                  [INCLUDES dirs...] [FLAGS compile-flags...] [CORPUS dir] [SECONDS n] [OPTIONS libfuzzer-flags...])
# A libFuzzer target built with clang (the tree's compiler may be gcc): SOURCES (relative to the
# calling folder, or absolute) get coverage and ASan/UBSan; TARGETS are the tree's libraries,
# linked as built, then LINK. CTest runs it for SECONDS (default 5) under the label "fuzz",
# from a copy of CORPUS so that the run's new inputs stay out of the source tree. Skipped
# without clang, and in a sanitizer build (the fuzzer brings its own runtime).
function(quorlinth_fuzzer)
  cmake_parse_arguments(ARG "" "TEST;BINARY;CORPUS;SECONDS" "SOURCES;INCLUDES;FLAGS;TARGETS;LINK;OPTIONS" ${ARGN})
  find_program(QUORLINTH_CLANGXX NAMES clang++-16 clang++-15 clang++-14 clang++)
  if(NOT QUORLINTH_CLANGXX OR QUORLINTH_SANITIZE)
    message(STATUS "${ARG_TEST} skipped (needs clang and a build without sanitizers)")
    return()
  endif()
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 5)
  endif()
  set(sources "")
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(absolute ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND sources ${absolute})
  endforeach()
  set(includes -I${PROJECT_SOURCE_DIR}/src)
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()
  set(libraries "")
  foreach(target IN LISTS ARG_TARGETS)
    list(APPEND libraries $<TARGET_FILE:${target}>)
  endforeach()
  set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/${ARG_BINARY})
  add_custom_command(OUTPUT ${fuzzer}
    COMMAND ${QUORLINTH_CLANGXX} -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
            -fno-sanitize-recover=undefined ${ARG_FLAGS} ${includes} ${sources} ${libraries} ${ARG_LINK}
            -lpthread -o ${fuzzer}
    DEPENDS ${sources} ${ARG_TARGETS}
    COMMENT "Building ${ARG_BINARY} with clang"
    VERBATIM)
  add_custom_target(${ARG_TEST} ALL DEPENDS ${fuzzer})

  list(JOIN ARG_OPTIONS " " options)
  set(run "'${fuzzer}' -max_total_time=${ARG_SECONDS} -seed=1 -rss_limit_mb=1024 ${options}")
  if(ARG_CORPUS)
    get_filename_component(corpus ${ARG_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(run "rm -rf corpus && cp -r '${corpus}' corpus && ${run} corpus")
  endif()
  add_test(NAME ${ARG_TEST} COMMAND sh -c "${run}" WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${ARG_TEST} PROPERTIES LABELS fuzz TIMEOUT 120 ENVIRONMENT QUORLINTH_TEST=1)
endfunction()
