# The q48-service MSI of a Windows build tree, made with wixl (Debian package
# wixl) from packaging/windows/q48-service.wxs and the kit's stripped
# service/q48-service.exe and service/stand-in/WltRS.dll:
#   build/windows-x86/package/Q48Reader-Service-<version>-x86.msi  (for counters)
#   build/windows-x64/package/Q48Reader-Service-<version>-x64.msi  (tested under wine64)
# Included by Packaging.cmake after WindowsKit.cmake, whose Q48_KIT_ARCH and
# Q48_KIT_DIR it uses.
find_program(Q48_WIXL wixl)
find_program(Q48_MSIBUILD msibuild)
if(NOT Q48_WIXL OR NOT Q48_MSIBUILD)
  message(FATAL_ERROR "wixl and msibuild (Debian packages wixl and msitools) make the service's MSI: run scripts/setup.sh")
endif()

set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/q48-service.wxs)
set(sql ${PROJECT_SOURCE_DIR}/packaging/windows/q48-service-msi.sql)
set(Q48_SERVICE_MSI ${PROJECT_BINARY_DIR}/package/Q48Reader-Service-${PROJECT_VERSION}-${Q48_KIT_ARCH}.msi)
set(maker ${PROJECT_BINARY_DIR}/msi/make-msi.cmake)
file(WRITE ${maker}
  "# Makes this tree's q48-service MSI: cmake -DQ48_VERSION=V -DQ48_OUT=FILE -P ${maker}\n"
  "set(Q48_WIXL \"${Q48_WIXL}\")\n"
  "set(Q48_MSIBUILD \"${Q48_MSIBUILD}\")\n"
  "set(Q48_WXS \"${wxs}\")\n"
  "set(Q48_SQL \"${sql}\")\n"
  "set(Q48_ARCH ${Q48_KIT_ARCH})\n"
  "set(Q48_BIN \"${Q48_KIT_DIR}/service\")\n"
  "include(\"${CMAKE_CURRENT_LIST_DIR}/ServiceMsiSteps.cmake\")\n")
add_custom_command(OUTPUT ${Q48_SERVICE_MSI}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
  COMMAND ${CMAKE_COMMAND} -DQ48_VERSION=${PROJECT_VERSION} -DQ48_OUT=${Q48_SERVICE_MSI} -P ${maker}
  DEPENDS ${wxs} ${sql} ${CMAKE_CURRENT_LIST_DIR}/ServiceMsiSteps.cmake
    ${Q48_KIT_DIR}/service/q48-service.exe ${Q48_KIT_DIR}/service/stand-in/WltRS.dll
  COMMENT "MSI: Q48Reader-Service-${PROJECT_VERSION}-${Q48_KIT_ARCH}.msi"
  VERBATIM)
add_custom_target(q48_service_msi ALL DEPENDS ${Q48_SERVICE_MSI})
add_dependencies(q48_service_msi q48_kit)
