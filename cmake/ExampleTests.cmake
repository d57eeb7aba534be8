# oxsocks (examples/oxsocks.cpp) under Wine against real clients (curl,
# python3) on 127.0.0.1: tests/examples/oxsocks-curl.sh, one entry per case.
set(OXNET_OXSOCKS_SCRIPT ${CMAKE_SOURCE_DIR}/tests/examples/oxsocks-curl.sh)
add_dependencies(oxnet_test_programs oxsocks)
foreach(pair Engines:engines Clients:clients BackPressure:backpressure OxnetClient:oxnet-client)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 name)
  list(GET pair 1 case)
  add_test(NAME Oxsocks${name} COMMAND ${OXNET_OXSOCKS_SCRIPT} ${case} ${CMAKE_BINARY_DIR})
  set_tests_properties(Oxsocks${name} PROPERTIES FIXTURES_REQUIRED Wine ENVIRONMENT OXNET_WINE_UP=1 TIMEOUT 180)
endforeach()
