# The SDK a Windows host adopts: oxnet.dll's version resource and the install
# tree (header, import library, DLL, oxrecdump, oxsocks, CMake and pkg-config packages,
# docs, sample oxnet.ini). cmake --install BUILD --prefix P lays it out under P.
include(CMakePackageConfigHelpers)

# Version resource from the project's version (CMake's RC language: windres).
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/net/oxnet.rc.in ${CMAKE_BINARY_DIR}/net/oxnet.rc @ONLY)
target_sources(oxnet PRIVATE ${CMAKE_BINARY_DIR}/net/oxnet.rc)

install(TARGETS oxnet RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
# The same import library under the name mingw's linker looks for (-loxnet).
install(FILES $<TARGET_LINKER_FILE:oxnet> DESTINATION lib RENAME liboxnet.dll.a)
install(TARGETS oxrecdump oxsocks RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/net/ISocketMgr.h DESTINATION include/oxnet)

configure_file(${CMAKE_SOURCE_DIR}/cmake/oxnetConfig.cmake.in ${CMAKE_BINARY_DIR}/package/oxnetConfig.cmake @ONLY)
# Checks the pointer size too: a 32-bit package is not taken for a 64-bit host.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/oxnetConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/oxnetConfig.cmake ${CMAKE_BINARY_DIR}/package/oxnetConfigVersion.cmake
        DESTINATION lib/cmake/oxnet)
configure_file(${CMAKE_SOURCE_DIR}/cmake/oxnet.pc.in ${CMAKE_BINARY_DIR}/package/oxnet.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/oxnet.pc DESTINATION lib/pkgconfig)

# The docs are globbed when installing, so pages added since configuring go too.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/examples/oxnet.ini DESTINATION share/doc/oxnet)
# oxsocks's source, the first real program on the library, as the docs build it.
install(FILES ${CMAKE_SOURCE_DIR}/examples/oxsocks.cpp ${CMAKE_SOURCE_DIR}/examples/EchoHost.h
        DESTINATION share/doc/oxnet/examples)
install(FILES ${CMAKE_SOURCE_DIR}/examples/oxsocks/SocksServer.h ${CMAKE_SOURCE_DIR}/examples/oxsocks/SocksServer.cpp
        DESTINATION share/doc/oxnet/examples/oxsocks)
install(CODE "
  file(GLOB _oxnet_docs \"${CMAKE_SOURCE_DIR}/docs/*.md\")
  if(_oxnet_docs)
    file(INSTALL \${_oxnet_docs} DESTINATION \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc/oxnet\")
  endif()
")
