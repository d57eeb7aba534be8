# The SDK as a host adopts it: a fresh install into the build tree, its
# layout, a host project outside the library built against it from a clean
# folder and run under Wine, and the slot order check of the interfaces.
set(OXNET_SDK_PREFIX ${CMAKE_BINARY_DIR}/sdk-test/prefix)
set(OXNET_SDK_HOST ${CMAKE_BINARY_DIR}/sdk-test/consumer)
set(OXNET_SDK_SCRIPT ${CMAKE_SOURCE_DIR}/tests/consumer/sdk-test.sh)

add_test(NAME SdkInstall COMMAND ${OXNET_SDK_SCRIPT} install ${CMAKE_BINARY_DIR} ${OXNET_SDK_PREFIX})
set_tests_properties(SdkInstall PROPERTIES FIXTURES_SETUP SdkPrefix TIMEOUT 120)

add_test(NAME SdkInstallTree
         COMMAND ${OXNET_SDK_SCRIPT} check ${OXNET_SDK_PREFIX} ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR})
set_tests_properties(SdkInstallTree PROPERTIES FIXTURES_REQUIRED SdkPrefix TIMEOUT 60)

add_test(NAME SdkConsumerBuild
         COMMAND ${OXNET_SDK_SCRIPT} build ${OXNET_SDK_PREFIX} ${OXNET_SDK_HOST} ${CMAKE_GENERATOR}
                 "${CMAKE_TOOLCHAIN_FILE}")
set_tests_properties(SdkConsumerBuild PROPERTIES FIXTURES_REQUIRED SdkPrefix FIXTURES_SETUP SdkConsumer
                                                 TIMEOUT 300)

add_test(NAME SdkPkgConfigBuild
         COMMAND ${OXNET_SDK_SCRIPT} pkgbuild ${OXNET_SDK_PREFIX} ${OXNET_SDK_HOST}-pkgconfig ${CMAKE_CXX_COMPILER})
set_tests_properties(SdkPkgConfigBuild PROPERTIES FIXTURES_REQUIRED SdkPrefix FIXTURES_SETUP SdkPkgConfig TIMEOUT 120)
add_test(NAME SdkPkgConfigRun
         COMMAND ${OXNET_SDK_SCRIPT} run ${CMAKE_BINARY_DIR}/wine-run.sh ${OXNET_SDK_HOST}-pkgconfig/host.exe)
set_tests_properties(SdkPkgConfigRun PROPERTIES FIXTURES_REQUIRED "Wine;SdkPkgConfig" ENVIRONMENT OXNET_WINE_UP=1
                                                TIMEOUT 60)

# The first host of docs/getting-started.md, built and run as the page says.
add_test(NAME SdkGettingStarted
         COMMAND ${CMAKE_SOURCE_DIR}/tests/consumer/getting-started.sh ${OXNET_SDK_PREFIX}
                 ${CMAKE_BINARY_DIR}/sdk-test/getting-started ${CMAKE_CXX_COMPILER} ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_SOURCE_DIR}/docs/getting-started.md)
set_tests_properties(SdkGettingStarted PROPERTIES FIXTURES_REQUIRED "Wine;SdkPrefix" ENVIRONMENT OXNET_WINE_UP=1
                                                  TIMEOUT 180)

add_test(NAME SdkConsumerRun
         COMMAND ${OXNET_SDK_SCRIPT} run ${CMAKE_BINARY_DIR}/wine-run.sh ${OXNET_SDK_HOST}/host.exe)
set_tests_properties(SdkConsumerRun PROPERTIES FIXTURES_REQUIRED "Wine;SdkConsumer" ENVIRONMENT OXNET_WINE_UP=1
                                               TIMEOUT 60)

# MSVC and GCC/Clang hosts must find the same function at every slot.
add_test(NAME AbiVtableSlotOrder
         COMMAND ${CMAKE_SOURCE_DIR}/tests/abi/check-vtable-order.sh ${CMAKE_SOURCE_DIR}/net ${CMAKE_BINARY_DIR}/abi)
set_tests_properties(AbiVtableSlotOrder PROPERTIES TIMEOUT 120)
# The check itself can fail: a header whose MSVC branch is out of order.
add_test(NAME AbiVtableSlotOrderDetectsSwap
         COMMAND ${CMAKE_SOURCE_DIR}/tests/abi/check-detects-swap.sh ${CMAKE_SOURCE_DIR}/net ${CMAKE_BINARY_DIR}/abi-swap)
set_tests_properties(AbiVtableSlotOrderDetectsSwap PROPERTIES TIMEOUT 120)

# A host compiled for the MSVC ABI (clang for an MSVC target of this tree's
# architecture) runs against the mingw-built oxnet.dll: both tables called
# across the boundary, in both directions, on every engine. The MSVC-ABI
# object has no runtime library; msvc_host_win.c gives it Winsock and entry.
find_program(OXNET_CLANGXX NAMES clang++ clang++-14)
if(NOT OXNET_CLANGXX)
  message(WARNING "clang++ not found (scripts/setup.sh installs it): AbiMsvcHostRun will fail")
  add_test(NAME AbiMsvcHostRun COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86|i[3-6]86)$")
  set(OXNET_MSVC_TARGET i686-pc-windows-msvc)
else()
  set(OXNET_MSVC_TARGET x86_64-pc-windows-msvc)
endif()
set(OXNET_ABI_DIR ${CMAKE_SOURCE_DIR}/tests/abi)
set(OXNET_MSVC_HOST_OBJ ${CMAKE_BINARY_DIR}/abi/msvc_host.obj)
file(GLOB OXNET_ABI_STUBS CONFIGURE_DEPENDS ${OXNET_ABI_DIR}/stub/*.h)
add_custom_command(
  OUTPUT ${OXNET_MSVC_HOST_OBJ}
  COMMAND ${OXNET_CLANGXX} --target=${OXNET_MSVC_TARGET} -std=c++17 -O2 -Wall -Wextra -Werror
          -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe
          -nostdinc -I${OXNET_ABI_DIR}/stub -I${CMAKE_SOURCE_DIR}/net
          -c ${OXNET_ABI_DIR}/msvc_host.cpp -o ${OXNET_MSVC_HOST_OBJ}
  DEPENDS ${OXNET_ABI_DIR}/msvc_host.cpp ${OXNET_ABI_DIR}/msvc_host.h ${CMAKE_SOURCE_DIR}/net/ISocketMgr.h
          ${OXNET_ABI_STUBS}
  COMMENT "MSVC-ABI host object (${OXNET_MSVC_TARGET})"
  VERBATIM)
add_executable(oxnet_msvc_abi_host ${OXNET_ABI_DIR}/msvc_host_win.c ${OXNET_MSVC_HOST_OBJ})
set_source_files_properties(${OXNET_MSVC_HOST_OBJ} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
target_compile_options(oxnet_msvc_abi_host PRIVATE ${OXNET_WARNINGS})
target_compile_definitions(oxnet_msvc_abi_host PRIVATE ${OXNET_DEFINES})
target_link_libraries(oxnet_msvc_abi_host PRIVATE oxnet ws2_32)
add_dependencies(oxnet_test_programs oxnet_msvc_abi_host)
add_test(NAME AbiMsvcHostRun COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh $<TARGET_FILE:oxnet_msvc_abi_host>)
set_tests_properties(AbiMsvcHostRun PROPERTIES FIXTURES_REQUIRED Wine ENVIRONMENT OXNET_WINE_UP=1 TIMEOUT 120
                                               PASS_REGULAR_EXPRESSION "PASS: MSVC-ABI host" FAIL_REGULAR_EXPRESSION "FAIL:")
