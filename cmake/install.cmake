# Installation on the instrument: the service, its systemd unit and the Avahi
# announcement (component "service"). The unit names the binary by absolute path, so
# the prefix defaults to /usr rather than CMake's /usr/local. DESTDIR stages the tree
# for a copy. The host tools are component "host" (tools/CMakeLists.txt):
#   cmake --install build --component host     # only the command-line client
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

set(VALDRIX_INSTALL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/../deploy/valdrixd.service.in
               ${CMAKE_BINARY_DIR}/deploy/valdrixd.service @ONLY)

install(TARGETS valdrixd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(FILES ${CMAKE_BINARY_DIR}/deploy/valdrixd.service
        DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT service)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../deploy/valdrix.service
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/avahi/services COMPONENT service)
