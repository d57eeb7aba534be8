# GoogleTest from the Debian sources, built with the same cross compiler; the
# tests run under Wine through the emulator wrapper made for this build tree.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# wine-run.sh and OXNET_WINEPREFIX come from cmake/WineRunner.cmake.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

enable_testing()
include(GoogleTest)

# Wine's services are started once before the tests and stopped after them.
add_test(NAME WineServicesStart COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-services.sh start ${OXNET_WINEPREFIX})
add_test(NAME WineServicesStop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-services.sh stop ${OXNET_WINEPREFIX})
set_tests_properties(WineServicesStart PROPERTIES FIXTURES_SETUP Wine)
set_tests_properties(WineServicesStop PROPERTIES FIXTURES_CLEANUP Wine)

# Real proxy servers on loopback for the end-to-end proxy tests; the tests
# read their ports from OXNET_PROXY_ENV and fail, saying why, on a proxy that
# is not there.
set(OXNET_PROXY_DIR ${CMAKE_BINARY_DIR}/proxies)
add_test(NAME ProxiesStart COMMAND ${CMAKE_SOURCE_DIR}/scripts/proxies.sh start ${OXNET_PROXY_DIR})
add_test(NAME ProxiesStop COMMAND ${CMAKE_SOURCE_DIR}/scripts/proxies.sh stop ${OXNET_PROXY_DIR})
set_tests_properties(ProxiesStart PROPERTIES FIXTURES_SETUP Proxies TIMEOUT 120)
set_tests_properties(ProxiesStop PROPERTIES FIXTURES_CLEANUP Proxies TIMEOUT 120)

# Every program the suite runs; scripts/test.sh builds only these for its
# second architecture.
add_custom_target(oxnet_test_programs)

# A completion-port manager reads the oxnet.ini beside its program. Tests that
# write one run from copies of their programs in a folder of their own, one
# at a time (resource lock OxnetIniSimulator), so that no other test's
# manager of a parallel run reads their file.
set(OXNET_SIMULATOR_DIR ${CMAKE_BINARY_DIR}/bin/simulator)
# oxnet_simulator_copy(target): the copy of target's program, made after every build.
function(oxnet_simulator_copy target)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${OXNET_SIMULATOR_DIR}
                     COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${OXNET_SIMULATOR_DIR}/
                     VERBATIM)
endfunction()

# oxnet_test_exe(name [PROXY_TESTS regex] [SIMULATOR_TESTS filter] sources...):
# the exe's tests whose names match the regex need the proxy servers too and
# are told where their ports are; the others run without the servers. The
# tests of the GoogleTest filter write oxnet.ini and run from the copy only.
function(oxnet_test_exe name)
  cmake_parse_arguments(ARG "" "PROXY_TESTS;SIMULATOR_TESTS" "" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${OXNET_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE gtest)
  add_dependencies(oxnet_test_programs ${name})
  set(discovery DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 180) # at test time: a build needs no Wine
  set(props TIMEOUT 60 FIXTURES_REQUIRED Wine ENVIRONMENT OXNET_WINE_UP=1)
  if(ARG_SIMULATOR_TESTS)
    gtest_discover_tests(${name} ${discovery} TEST_FILTER -${ARG_SIMULATOR_TESTS} PROPERTIES ${props})
    oxnet_simulator_copy(${name})
    add_executable(${name}_simulator IMPORTED)
    set_target_properties(${name}_simulator PROPERTIES
      IMPORTED_LOCATION ${OXNET_SIMULATOR_DIR}/${name}${CMAKE_EXECUTABLE_SUFFIX}
      CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
    gtest_discover_tests(${name}_simulator ${discovery} TEST_FILTER ${ARG_SIMULATOR_TESTS}
                         PROPERTIES ${props} RESOURCE_LOCK OxnetIniSimulator)
  else()
    gtest_discover_tests(${name} ${discovery} PROPERTIES ${props})
  endif()
  if(ARG_PROXY_TESTS)
    # Discovery hands property values on as single list items, so list values
    # are set here instead, by a script ctest runs after the discovered tests
    # are defined (it names them in ${name}_TESTS).
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_proxies.cmake)
    file(WRITE ${script}
         "set(proxy_tests \${${name}_TESTS})\n"
         "list(FILTER proxy_tests INCLUDE REGEX \"${ARG_PROXY_TESTS}\")\n"
         "if(proxy_tests)\n"
         "  set_tests_properties(\${proxy_tests} PROPERTIES FIXTURES_REQUIRED \"Wine;Proxies\"\n"
         "    ENVIRONMENT \"OXNET_WINE_UP=1;OXNET_PROXY_ENV=${OXNET_PROXY_DIR}/proxies.env\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

file(GLOB BASE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/VZ_Base/*.cpp)
oxnet_test_exe(oxnet_base_tests ${CMAKE_SOURCE_DIR}/tests/test_main.cpp ${BASE_TEST_SOURCES})
target_link_libraries(oxnet_base_tests PRIVATE vzbase)

file(GLOB_RECURSE NET_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/net/*.cpp)
# Only the end-to-end proxy suite (test_EngineProxy.cpp) uses the servers.
# The fault simulator's tests write oxnet.ini (test_VZ_IocpSimulator.cpp).
oxnet_test_exe(oxnet_net_tests PROXY_TESTS "EngineProxy" SIMULATOR_TESTS "IocpSimulator.*"
               ${CMAKE_SOURCE_DIR}/tests/test_main.cpp ${NET_TEST_SOURCES})
target_link_libraries(oxnet_net_tests PRIVATE oxnet_obj vzbase)
target_include_directories(oxnet_net_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/net)
# The host-style test loads oxnet.dll, and the recording test runs
# oxrecdump, from the tests' own folder (the simulator's tests need neither).
add_dependencies(oxnet_net_tests oxnet oxrecdump)

# The layers of net/: an engine includes only core/, VZ_Base and itself.
add_test(NAME LayerIncludes COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-layers.sh ${CMAKE_SOURCE_DIR}/net)
add_test(NAME DllExportsAndImports COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-dll.sh $<TARGET_FILE:oxnet>)
include(${CMAKE_SOURCE_DIR}/cmake/PcapTests.cmake) # oxrecdump --pcap read back with tshark

include(${CMAKE_SOURCE_DIR}/cmake/ExampleTests.cmake) # oxsocks with curl and python3 clients
# Packaging, consumer and ABI tests (install tree, CMake package, slot order)
include(${CMAKE_SOURCE_DIR}/cmake/SdkTests.cmake OPTIONAL)
