# The terminal-to-host proxy and the SOCKS servers.
# Pure parts: the SOCKS dialogue's decisions and the saved resolution.
ryn_add_test(bridge_socks_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/socks_wire_test.cpp ${CMAKE_CURRENT_LIST_DIR}/proxy_resolve_test.cpp
  LIBS ryn_core
  LABELS bridge)

# End to end: the network thread with every bridge against the Linux kernel
# as the terminal (simulator in TUN mode). Root only; skip otherwise.
include(${CMAKE_SOURCE_DIR}/tests/netns/CMakeLists.txt OPTIONAL)
if(TARGET ryn_netns_harness)
  foreach(_t socks_e2e proxy_entry)
    ryn_add_test(bridge_${_t}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_t}_test.cpp
      LIBS ryn_bridge ryn_netns_harness
      LABELS bridge netns)
    target_compile_definitions(bridge_${_t}_test PRIVATE
      RYN_SOCKS_PROBE="${CMAKE_CURRENT_LIST_DIR}/socks_probe.py")
    target_include_directories(bridge_${_t}_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  endforeach()
endif()

# Figures: SOCKS set-up time over the paced link; goodput through SOCKS
# against the fixed bridge.
if(RYN_BENCH AND TARGET ryn_netns_harness)
  find_package(GTest REQUIRED)
  ryn_add_bench(bench_socks_link
    SOURCES ${CMAKE_SOURCE_DIR}/bench/socks_link.cc
    LIBS ryn_bridge ryn_netns_harness GTest::gtest)
  target_include_directories(bench_socks_link PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(bench_socks_link PRIVATE RYN_SOCKS_PROBE="${CMAKE_CURRENT_LIST_DIR}/socks_probe.py")
endif()
