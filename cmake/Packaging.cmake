# Installation (Linux: library, header, tools, pkg-config and CMake package
# files) and the Windows zip of the deliverables (cpack -G ZIP).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT TARGET Q48Reader)
  return()
endif()

install(TARGETS Q48Reader EXPORT Q48ReaderTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/Q48Reader/include/Q48Reader.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The stand-in portrait decoder goes beside the library, where it is found
# by its bare name (Windows: the program's folder; Linux: the tools' RUNPATH).
if(TARGET WltRS)
  install(TARGETS WltRS RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
foreach(tool q48 q48-emulator q48-service setup)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The systemd user unit names the installed binary, so it is written at
# install time (honouring --prefix).
if(TARGET q48-service AND NOT WIN32)
  install(CODE "
    set(Q48_SERVICE_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/q48-service\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/q48-service.service.in\" \"${PROJECT_BINARY_DIR}/q48-service.service\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/q48-service.service\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  " COMPONENT tools)
endif()

if(NOT WIN32)
  install(EXPORT Q48ReaderTargets NAMESPACE Q48Reader:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/Q48ReaderConfig.cmake.in
    ${PROJECT_BINARY_DIR}/Q48ReaderConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/Q48ReaderConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/Q48ReaderConfig.cmake ${PROJECT_BINARY_DIR}/Q48ReaderConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Q48Reader)
  # @ONLY substitution happens at install time so that --prefix is honoured.
  install(CODE "
    set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/q48reader.pc.in\" \"${PROJECT_BINARY_DIR}/q48reader.pc\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/q48reader.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  ")
endif()

set(CPACK_PACKAGE_NAME Q48Reader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Q48Reader")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Q48 desk reader library, installer and tools")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME "win${CMAKE_SIZEOF_VOID_P}")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
