# The SOCKS greeting and request parser, fed with arbitrary terminal bytes.
ryn_add_fuzzer(fuzz_socks_request ${CMAKE_SOURCE_DIR}/fuzz/socks_request.cc)
