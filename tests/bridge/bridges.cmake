# Host-to-terminal bridges and the bridge table: end to end through the
# network thread to the serial terminal simulator (lwIP), and through the
# simulator's TUN mode to the kernel in a network namespace (root only).
ryn_add_test(bridge_sim_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_sim_test.cpp
  LIBS ryn_service
  LABELS bridge sim)
get_property(_have_spmsim GLOBAL PROPERTY RYN_HAVE_SPMSIM)
if(_have_spmsim AND TARGET spmsim)
  target_compile_definitions(bridge_sim_test PRIVATE RYN_SPMSIM_PATH="$<TARGET_FILE:spmsim>")
  add_dependencies(bridge_sim_test spmsim)
endif()

# The kernel peer: tests/netns's harness (its file guards against a second
# inclusion, so the simulator tests may add it again later).
if(_have_spmsim AND TARGET spmsim)
  include(${CMAKE_SOURCE_DIR}/tests/netns/CMakeLists.txt)
endif()
if(TARGET ryn_netns_harness)
  ryn_add_test(bridge_kernel_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bridge_kernel_test.cpp
    LIBS ryn_netns_harness ryn_service
    LABELS bridge netns)
endif()

# Figures of the channel bridge on a paced line (a harness, not a test).
if(RYN_BENCH AND _have_spmsim AND TARGET spmsim)
  ryn_add_bench(bench_bridge_line SOURCES ${CMAKE_SOURCE_DIR}/bench/bridge_line.cc LIBS ryn_service)
  target_include_directories(bench_bridge_line PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(bench_bridge_line PRIVATE RYN_SPMSIM_PATH="$<TARGET_FILE:spmsim>")
  add_dependencies(bench_bridge_line spmsim)
endif()
