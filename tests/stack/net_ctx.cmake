# Connection contexts and the network pump: state tests with the test's
# thread as the pump (no link), and end-to-end tests with the network
# thread over PPP to the serial terminal simulator (skipped without it).
ryn_add_test(net_ctx_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_ctx_pump_test.cpp
  LIBS ryn_stack_ppp ryn_link ryn_stack ryn_core
  LABELS stack)

ryn_add_test(net_ctx_sim_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_ctx_sim_test.cpp
  LIBS ryn_stack_ppp ryn_link ryn_stack ryn_core
  LABELS sim)
get_property(_have_spmsim GLOBAL PROPERTY RYN_HAVE_SPMSIM)
if(_have_spmsim AND TARGET spmsim)
  target_compile_definitions(net_ctx_sim_test PRIVATE RYN_SPMSIM_PATH="$<TARGET_FILE:spmsim>")
  add_dependencies(net_ctx_sim_test spmsim)
endif()
