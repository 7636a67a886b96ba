# Shared build helpers: warnings, sanitizers, and one-line declarations for
# subsystem libraries, tests, fuzzers and benchmarks.

function(ryn_setup_sanitizers)
  if(RYN_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  elseif(RYN_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(RYN_SANITIZE STREQUAL "fuzzer")
    # Coverage for libFuzzer in every library, ASan+UBSan to catch the faults.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  elseif(RYN_SANITIZE)
    message(FATAL_ERROR "RYN_SANITIZE must be address, thread, fuzzer or empty")
  endif()
endfunction()

# Our own code builds warning-free; third-party sources (lwIP) do not use this.
function(ryn_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# ryn_add_subsystem(NAME SOURCES... [LIBS ...] [EXPORTS file])
# Defines the static library ryn_<NAME>; the shared library's version script
# (not compiler visibility) decides what is exported. EXPORTS names a text file listing the
# C symbols this subsystem exports from libRYNService.so (one per line).
function(ryn_add_subsystem name)
  cmake_parse_arguments(A "" "EXPORTS" "SOURCES;LIBS" ${ARGN})
  add_library(ryn_${name} STATIC ${A_SOURCES})
  target_include_directories(ryn_${name} PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
  target_link_libraries(ryn_${name} PUBLIC ${A_LIBS} Threads::Threads)
  ryn_warnings(ryn_${name})
  set_property(GLOBAL APPEND PROPERTY RYN_SUBSYSTEM_LIBS ryn_${name})
  if(A_EXPORTS)
    set_property(GLOBAL APPEND PROPERTY RYN_EXPORT_LISTS ${CMAKE_CURRENT_SOURCE_DIR}/${A_EXPORTS})
  endif()
endfunction()

# The shared library: every subsystem library, whole, plus the load hooks.
# The version script is generated from the subsystems' export lists so that
# exactly those names are visible.
function(ryn_add_service_library)
  get_property(libs GLOBAL PROPERTY RYN_SUBSYSTEM_LIBS)
  get_property(lists GLOBAL PROPERTY RYN_EXPORT_LISTS)
  set(all_names "")
  foreach(f IN LISTS lists)
    file(STRINGS ${f} names REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
    list(APPEND all_names ${names})
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${f})
  endforeach()
  list(SORT all_names)
  list(REMOVE_DUPLICATES all_names)
  set(map "{\n  global:\n")
  set(plain "")
  foreach(n IN LISTS all_names)
    string(APPEND map "    ${n};\n")
    string(APPEND plain "${n}\n")
  endforeach()
  string(APPEND map "  local:\n    *;\n};\n")
  file(WRITE ${CMAKE_BINARY_DIR}/RYNService.map "${map}")
  file(WRITE ${CMAKE_BINARY_DIR}/RYNService.exports "${plain}")

  add_library(RYNService SHARED ${CMAKE_SOURCE_DIR}/service/load_hooks.cpp)
  target_include_directories(RYNService PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
  ryn_warnings(RYNService)
  # Archives by file, whole: every object is in the .so whether or not
  # another object refers to it (the exported names are the point).
  set(files "")
  foreach(l IN LISTS libs)
    list(APPEND files "$<TARGET_FILE:${l}>")
  endforeach()
  add_dependencies(RYNService ${libs})
  target_link_libraries(RYNService PRIVATE -Wl,--whole-archive ${files} -Wl,--no-whole-archive
                        OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
  target_link_options(RYNService PRIVATE -Wl,--version-script=${CMAKE_BINARY_DIR}/RYNService.map)
  if(NOT RYN_SANITIZE)
    # Sanitizer runtimes resolve at load time; otherwise nothing may dangle.
    target_link_options(RYNService PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(RYNService PROPERTIES LINK_DEPENDS ${CMAKE_BINARY_DIR}/RYNService.map)
endfunction()

# ryn_add_test(NAME SOURCES... [LIBS ...] [LABELS ...])
# A GoogleTest executable registered with CTest, one CTest entry per test case.
function(ryn_add_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  ryn_warnings(${name})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  if(A_LABELS)
    # Labels are set after discovery, from the list of discovered names: the
    # discovery's PROPERTIES flattens lists, so a second label would turn
    # into a property name.
    set(_inc "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${_inc}" "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${A_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_inc}")
  endif()
endfunction()

# ryn_add_fuzzer(NAME SOURCE [LIBS ...]): a libFuzzer target (RYN_FUZZ=ON, clang).
function(ryn_add_fuzzer name source)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  if(NOT RYN_FUZZ)
    return()
  endif()
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  add_dependencies(ryn_fuzzers ${name})
endfunction()

# ryn_add_bench(NAME SOURCES... [LIBS ...]): a Google Benchmark executable.
function(ryn_add_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark Threads::Threads)
  ryn_warnings(${name})
endfunction()
