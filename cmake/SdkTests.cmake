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
