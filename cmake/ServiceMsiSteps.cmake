# Makes the q48-service MSI: wixl builds it from the WiX source, then
# msibuild applies the statements of the .sql file beside it. Run with -P:
#   Q48_WIXL, Q48_MSIBUILD   the tools
#   Q48_WXS, Q48_SQL         packaging/windows/q48-service.wxs and .sql
#   Q48_ARCH                 x86 or x64
#   Q48_BIN                  the kit's service folder: q48-service.exe, stand-in/WltRS.dll
#   Q48_VERSION, Q48_OUT     the product version and the package to write
# The build tree's msi/make-msi.cmake sets all but the last two, so that a
# test can make another version of the same package.
foreach(var Q48_WIXL Q48_MSIBUILD Q48_WXS Q48_SQL Q48_ARCH Q48_BIN Q48_VERSION Q48_OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(partial ${Q48_OUT}.partial)
file(REMOVE ${partial})
# The files are named relative to the folder wixl runs in.
execute_process(COMMAND ${Q48_WIXL} -a ${Q48_ARCH} -D Version=${Q48_VERSION} -D Arch=${Q48_ARCH} -o ${partial} ${Q48_WXS}
  WORKING_DIRECTORY ${Q48_BIN} RESULT_VARIABLE status ERROR_VARIABLE errors)
# wixl reports some faults only as GLib warnings (an attribute it does not
# know is dropped): they are errors here.
if(NOT status EQUAL 0 OR errors MATCHES "WARNING|CRITICAL|ERROR")
  file(REMOVE ${partial})
  message(FATAL_ERROR "wixl failed on ${Q48_WXS}:\n${errors}")
endif()
file(STRINGS ${Q48_SQL} statements REGEX "^[^-].*")
foreach(statement IN LISTS statements)
  execute_process(COMMAND ${Q48_MSIBUILD} ${partial} -q "${statement}" RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    file(REMOVE ${partial})
    message(FATAL_ERROR "msibuild failed on ${statement}:\n${errors}")
  endif()
endforeach()
file(RENAME ${partial} ${Q48_OUT})
