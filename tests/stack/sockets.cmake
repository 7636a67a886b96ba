# Socket interface and UDP over the process-wide stack: the test's thread
# drives it and a second stack on an in-memory wire is the peer (no link).
ryn_add_test(socket_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/socket_text_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/socket_tcp_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/socket_wait_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/socket_udp_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/socket_thread_test.cpp
  LIBS ryn_stack_ppp ryn_link ryn_stack ryn_core
  LABELS stack)

