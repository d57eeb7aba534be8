# GoogleTest from the Debian sources, built with the same cross compiler; the
# tests run under Wine through the emulator wrapper made for this build tree.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(OXNET_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of this build tree")
configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

enable_testing()
include(GoogleTest)

# Wine's services are started once before the tests and stopped after them.
add_test(NAME WineServicesStart COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-services.sh start ${OXNET_WINEPREFIX})
add_test(NAME WineServicesStop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-services.sh stop ${OXNET_WINEPREFIX})
set_tests_properties(WineServicesStart PROPERTIES FIXTURES_SETUP Wine)
set_tests_properties(WineServicesStop PROPERTIES FIXTURES_CLEANUP Wine)

function(oxnet_test_exe name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${OXNET_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE gtest)
  # Discovery runs at test time, so a build needs no Wine.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 180
                       PROPERTIES TIMEOUT 60 FIXTURES_REQUIRED Wine ENVIRONMENT OXNET_WINE_UP=1)
endfunction()

file(GLOB BASE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/VZ_Base/*.cpp)
oxnet_test_exe(oxnet_base_tests ${CMAKE_SOURCE_DIR}/tests/test_main.cpp ${BASE_TEST_SOURCES})
target_link_libraries(oxnet_base_tests PRIVATE vzbase)

file(GLOB NET_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/net/*.cpp)
oxnet_test_exe(oxnet_net_tests ${CMAKE_SOURCE_DIR}/tests/test_main.cpp ${NET_TEST_SOURCES})
target_link_libraries(oxnet_net_tests PRIVATE oxnet_obj vzbase)
# The host-style test loads oxnet.dll, and the recording test runs
# oxrecdump, from the tests' own folder.
add_dependencies(oxnet_net_tests oxnet oxrecdump)

add_test(NAME DllExportsAndImports COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-dll.sh $<TARGET_FILE:oxnet>)
