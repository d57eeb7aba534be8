# oxrecdump --pcap on a recording made by bench_echo on a recording engine,
# read back with tshark (tests/examples/pcap-tshark.sh). Needs the benchmarks;
# OXNET_BENCH is defined after the tests, so an unset value counts as on.
if(DEFINED OXNET_BENCH AND NOT OXNET_BENCH)
  return()
endif()
add_dependencies(oxnet_test_programs oxrecdump bench_echo)
add_test(NAME PcapTshark
         COMMAND ${CMAKE_SOURCE_DIR}/tests/examples/pcap-tshark.sh ${CMAKE_BINARY_DIR}/bin
                 ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/pcap-test)
set_tests_properties(PcapTshark PROPERTIES FIXTURES_REQUIRED Wine ENVIRONMENT OXNET_WINE_UP=1 TIMEOUT 180)
