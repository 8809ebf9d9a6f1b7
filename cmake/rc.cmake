# Helpers shared by the libraries of the tree.
#
# Sources are collected per directory: every *.cpp / *.c below DIR that is not a test
# (*_test.cpp), a benchmark (*_bench.cpp) or a fuzz target (*_fuzz.cpp). Tests sit beside the
# code they test and form one test binary per library.

function(rc_collect_sources out dir)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  list(FILTER all EXCLUDE REGEX "_(test|bench|fuzz)\\.cpp$")
  set(${out} ${all} PARENT_SCOPE)
endfunction()

function(rc_collect_tests out dir)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  set(${out} ${all} PARENT_SCOPE)
endfunction()

# rc_add_test_binary(NAME name SOURCES ... LIBS ... [LABELS ...])
function(rc_add_test_binary)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT RC_BUILD_TESTS OR NOT T_SOURCES)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT TARGET rc_test_main)
    message(FATAL_ERROR "rc_test_main must be defined before test binaries")
  endif()
  target_link_libraries(${T_NAME} PRIVATE rc_test_main)
  set(props TIMEOUT 300)
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# A library whose symbols are hidden except for what it marks RC_EXPORT. Its objects are also
# linked straight into its test binary, so tests reach the internal classes.
#   rc_add_hidden_library(NAME n DIR d LIBS ... [TEST_LIBS ...] [LABELS ...])
function(rc_add_hidden_library)
  cmake_parse_arguments(L "" "NAME;DIR" "LIBS;TEST_LIBS;LABELS" ${ARGN})
  rc_collect_sources(srcs ${L_DIR})
  if(NOT srcs)
    return()
  endif()
  add_library(${L_NAME}_objects OBJECT ${srcs})
  set_target_properties(${L_NAME}_objects PROPERTIES C_VISIBILITY_PRESET hidden
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${L_NAME}_objects PRIVATE RC_BUILDING_LIBRARY=1)
  target_link_libraries(${L_NAME}_objects PUBLIC ${L_LIBS})
  add_library(${L_NAME} SHARED $<TARGET_OBJECTS:${L_NAME}_objects>)
  target_link_libraries(${L_NAME} PUBLIC ${L_LIBS})
  rc_collect_tests(tests ${L_DIR})
  rc_add_test_binary(NAME ${L_NAME}_tests SOURCES ${tests} $<TARGET_OBJECTS:${L_NAME}_objects>
                     LIBS ${L_LIBS} ${L_TEST_LIBS} LABELS ${L_LABELS})
endfunction()

# Marks a program with the empty pre-login section that login-time launchers look for.
# The linker drops empty output sections, so a small linker script placed after .rodata names the
# section and assigns a symbol in it, which makes the linker keep it, still empty.
function(rc_add_prelogin_section target)
  set(script ${CMAKE_BINARY_DIR}/prelogin_section.ld)
  file(CONFIGURE OUTPUT ${script} CONTENT
       "SECTIONS { __cgpreloginapp : { KEEP(*(__cgpreloginapp)) __cgpreloginapp_marker = .; } }\nINSERT AFTER .rodata;\n")
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/prelogin_section.c)
  target_link_options(${target} PRIVATE "LINKER:-T,${script}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()

# A libFuzzer target: rc_add_fuzzer(NAME n SOURCES ... LIBS ...). Built only with RC_BUILD_FUZZ
# (the "fuzz" preset, clang). Seed corpora live beside the sources, in fuzz_corpus/<name>.
function(rc_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT RC_BUILD_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY RC_FUZZERS ${F_NAME})
endfunction()
