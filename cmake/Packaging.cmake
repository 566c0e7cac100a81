# Installation (Linux: library, header, tools, pkg-config and CMake package
# files, and the Debian packages: cmake/DebianPackages.cmake); on Windows the
# integrators' kit (cmake/WindowsKit.cmake) and the service's MSI (cmake/ServiceMsi.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT TARGET Q48Reader)
  return()
endif()

# Windows: the kit has install rules and packages of its own; the service
# comes as an MSI.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsKit.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/ServiceMsi.cmake)
  return()
endif()

# Components (one Debian package each, see DebianPackages.cmake): library,
# dev, tools, service, decoder.
install(TARGETS Q48Reader EXPORT Q48ReaderTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/Q48Reader/include/Q48Reader.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The stand-in portrait decoder goes where the loader finds it by its bare
# name: a system library folder (found after ldconfig), as the real decoder
# would be.
if(TARGET WltRS)
  install(TARGETS WltRS RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT decoder
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT decoder)
endif()
foreach(tool q48 q48-emulator)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# q48-service with its systemd units (the socket, held from boot, and the
# sandboxed system service it starts) and the administrator's settings file.
# The service unit names the installed binary, so it is written at install
# time (honouring --prefix). The settings file goes to /etc under the prefix
# /usr (the packages), else to <prefix>/etc; the service reads
# /etc/q48reader/q48-service.json.
if(TARGET q48-service)
  install(TARGETS q48-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/q48-service.socket DESTINATION lib/systemd/system COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/q48-service-modules.conf DESTINATION lib/modules-load.d
    RENAME q48reader-service.conf COMPONENT service)
  install(CODE "
    set(Q48_SERVICE_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/q48-service\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/q48-service.service.in\" \"${PROJECT_BINARY_DIR}/q48-service.service\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/q48-service.service\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(etc /etc/q48reader)
    else()
      set(etc \"\${CMAKE_INSTALL_PREFIX}/etc/q48reader\")
    endif()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/q48-service.json\" DESTINATION \"\${etc}\")
  " COMPONENT service)
endif()

install(EXPORT Q48ReaderTargets NAMESPACE Q48Reader:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/Q48ReaderConfig.cmake.in
  ${PROJECT_BINARY_DIR}/Q48ReaderConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/Q48ReaderConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/Q48ReaderConfig.cmake ${PROJECT_BINARY_DIR}/Q48ReaderConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader COMPONENT dev)
# @ONLY substitution happens at install time so that --prefix is honoured.
install(CODE "
  set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/q48reader.pc.in\" \"${PROJECT_BINARY_DIR}/q48reader.pc\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/q48reader.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)

set(CPACK_PACKAGE_NAME Q48Reader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Q48Reader")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Q48 desk reader library, installer and tools")
include(${CMAKE_CURRENT_LIST_DIR}/DebianPackages.cmake)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
