# The terminal-to-host proxy and the SOCKS servers.
# Pure parts: the SOCKS dialogue's decisions and the saved resolution.
ryn_add_test(bridge_socks_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/socks_wire_test.cpp ${CMAKE_CURRENT_LIST_DIR}/proxy_resolve_test.cpp
  LIBS ryn_core
  LABELS bridge)
