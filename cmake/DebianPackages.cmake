# Debian packages from the install rules (cpack in a Linux build tree, amd64
# or, in the linux-arm64 tree, arm64). Each install component is a package:
#   library  libq48reader1              the shared library (soname libQ48Reader.so.1)
#   dev      libq48reader-dev           header, .so link, pkg-config and CMake files
#   tools    q48reader-tools            q48, q48-emulator and its profiles, the
#                                       udev rule
#   service  q48reader-service          q48-service, its systemd socket (enabled,
#                                       from boot) and sandboxed system service,
#                                       and /etc/q48reader/q48-service.json
#   decoder  q48reader-standin-decoder  the stand-in libWltRS.so, apart so that a
#                                       site with the real decoder leaves it out
# Included by Packaging.cmake, after its install rules and before CPack.
include(GNUInstallDirs)

set(Q48_DEB_COMPONENTS library dev tools service decoder)
set(Q48_DEB_PACKAGE_library libq48reader1)
set(Q48_DEB_PACKAGE_dev libq48reader-dev)
set(Q48_DEB_PACKAGE_tools q48reader-tools)
set(Q48_DEB_PACKAGE_service q48reader-service)
set(Q48_DEB_PACKAGE_decoder q48reader-standin-decoder)

# The reader's tty for the desktop user and away from ModemManager.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-q48reader.rules
  DESTINATION lib/udev/rules.d COMPONENT tools)

set(Q48_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)

# The changelog is where the Debian revision and the maintainer are written;
# its latest entry must be for this project version.
set(changelog ${Q48_DEB_DIR}/changelog)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
file(STRINGS ${changelog} changelog_lines)
list(GET changelog_lines 0 latest)
if(NOT latest MATCHES "^q48reader \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "${changelog}: the first line is not a \"q48reader (VERSION-REVISION) ...\" entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${changelog}: the latest entry is for ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}: add an entry")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^ -- (.+ <[^>]+>)  ")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CMAKE_MATCH_1}")
    break()
  endif()
endforeach()
if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER)
  message(FATAL_ERROR "${changelog}: the latest entry has no \" -- Name <address>  date\" line")
endif()

# Each package carries the copyright file and the changelog, compressed
# without a timestamp so that the same sources give the same package.
find_program(Q48_GZIP gzip REQUIRED)
set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND ${Q48_GZIP} -9nc ${changelog} OUTPUT_FILE ${changelog_gz} COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS Q48_DEB_COMPONENTS)
  install(FILES ${Q48_DEB_DIR}/copyright ${changelog_gz}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${Q48_DEB_PACKAGE_${component}} COMPONENT ${component})
endforeach()
install(FILES ${Q48_DEB_DIR}/standin-decoder.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${Q48_DEB_PACKAGE_decoder} COMPONENT decoder)

# Manual pages for the tools, from their --help. Not in sanitizer builds,
# which are never packaged: their tools would run instrumented at build time.
set(Q48_MAN_NAME_q48 "read the identity card and the SIM card in a Q48 desk reader")
set(Q48_MAN_NAME_q48-emulator "play a Q48 desk reader on a pseudo-terminal or a serial port")
set(Q48_MAN_NAME_q48-service "local HTTP service for web pages that use the Q48 desk reader")
set(Q48_MAN_COMPONENT_q48 tools)
set(Q48_MAN_COMPONENT_q48-emulator tools)
set(Q48_MAN_COMPONENT_q48-service service)
if(NOT Q48_SANITIZE)
  find_program(Q48_HELP2MAN help2man REQUIRED)
  foreach(tool q48 q48-emulator q48-service)
    if(NOT TARGET ${tool})
      continue()
    endif()
    # help2man runs the tool itself; a cross build runs it through its
    # emulator, bounded in time (under qemu-user a dynamically linked tool
    # that started a thread would hang).
    set(runner ${PROJECT_BINARY_DIR}/man/run/${tool})
    file(GENERATE OUTPUT ${runner}
      CONTENT "#!/bin/sh\nexec timeout 60 ${CMAKE_CROSSCOMPILING_EMULATOR} \"$<TARGET_FILE:${tool}>\" \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${Q48_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
        --name=${Q48_MAN_NAME_${tool}} --output=${page} ${runner}
      COMMAND ${Q48_GZIP} -9nf ${page}
      DEPENDS ${tool} VERBATIM)
    add_custom_target(${tool}_man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${Q48_MAN_COMPONENT_${tool}})
  endforeach()
endif()

# The architecture is the compiler's, so a cross build makes packages for
# its target (dpkg-shlibdeps is told through DEB_HOST_ARCH, below).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
  OUTPUT_VARIABLE gnu_type OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND dpkg-architecture -t${gnu_type} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  message(FATAL_ERROR "dpkg-architecture cannot name the Debian architecture of ${gnu_type}: run scripts/setup.sh")
endif()
set(Q48_DEB_CPACK_CONFIG ${PROJECT_BINARY_DIR}/packaging/CPackDebian.cmake)
# Each package's description has its own first line: the project's summary
# is not put before it.
file(WRITE ${Q48_DEB_CPACK_CONFIG}
  "set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})\n"
  "unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)\n")
set(CPACK_PROJECT_CONFIG_FILE ${Q48_DEB_CPACK_CONFIG})

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${Q48_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE q48reader)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
foreach(component IN LISTS Q48_DEB_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${Q48_DEB_PACKAGE_${component}})
endforeach()

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# Programs built against this version need at least this version. (Written
# here rather than by CPack, which would also try the unversioned decoder.)
get_target_property(soversion Q48Reader SOVERSION)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/shlibs
  "libQ48Reader ${soversion} ${Q48_DEB_PACKAGE_library} (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${Q48_DEB_DIR}/triggers ${PROJECT_BINARY_DIR}/packaging/shlibs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "Q48 desk reader library
libQ48Reader reads the identity card and the SIM card in a Q48 desk reader
(FTDI USB-serial bridge 0403:6001) through five C functions. Each call finds
the reader, runs one exchange and closes the port again.
.
The portrait on the identity card needs an outside decoder, libWltRS.so,
found by its bare name; q48reader-standin-decoder provides a stand-in.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS library)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Q48 desk reader library - development files
The C header Q48Reader.h, the link for -lQ48Reader, the pkg-config file
q48reader.pc and the CMake package Q48Reader (find_package) for programs
that use libQ48Reader.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${Q48_DEB_DIR}/tools/postinst ${Q48_DEB_DIR}/tools/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS ${Q48_DEB_PACKAGE_decoder})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Q48 desk reader tools and device access
q48 reads the identity card and the SIM card and writes to the SIM from the
command line. q48-emulator plays the reader on a pseudo-terminal or a serial
port, for trying programs without the device; its card profiles are in
/usr/share/q48reader/profiles.
.
A udev rule gives the user at the desk access to the reader's tty without
the dialout group, keeps ModemManager from probing it, and links it as
/dev/q48reader.")

# q48-service moved here from q48reader-tools (1.0.0-1).
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${Q48_DEB_DIR}/service/preinst ${Q48_DEB_DIR}/service/postinst
  ${Q48_DEB_DIR}/service/prerm ${Q48_DEB_DIR}/service/postrm ${Q48_DEB_DIR}/service/conffiles)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_SERVICE_DEPENDS tools)
set(CPACK_DEBIAN_SERVICE_PACKAGE_BREAKS "${Q48_DEB_PACKAGE_tools} (<< 1.0.0-2)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_REPLACES "${Q48_DEB_PACKAGE_tools} (<< 1.0.0-2)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS ${Q48_DEB_PACKAGE_decoder})
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "Q48 desk reader for web pages (q48-service)
q48-service lets web pages of allowed sites use the Q48 desk reader through a
local HTTP service on the loopback address, with a built-in page.
.
One instance serves the whole machine: systemd holds its loopback address
from boot (q48-service.socket) and starts the service on the first
connection, sandboxed under a user of its own in the dialout group, which
may open the reader's tty. The sites allowed to use the reader, and the
other settings, are in /etc/q48reader/q48-service.json (none is allowed at
first).")

set(CPACK_DEBIAN_DECODER_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DECODER_PACKAGE_CONTROL_EXTRA ${Q48_DEB_DIR}/triggers)
set(CPACK_DEBIAN_DECODER_DESCRIPTION "Q48 desk reader portrait decoder (stand-in)
A stand-in for the outside portrait decoder libWltRS.so, with the same entry
point. It decodes only the simple format of the q48-emulator's cards, not
the portraits of real identity cards: install it for tests and
demonstrations, and leave it out where the real decoder is installed.")
