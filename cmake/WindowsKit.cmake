# The Windows kit that integrators download: `cpack` in a Windows build tree
# makes two zips with the same top folder, so that unzipping both in one
# place puts each .debug file beside its binary, where debuggers look:
#
#   Q48Reader-<version>-win32.zip (win64: the x64 build)
#     README.txt       Chinese and English, UTF-8 with BOM, CR LF
#     SHA256SUMS       every other file of the kit, sha256sum's format
#     bin/             Q48Reader.dll, WltRS.dll (stand-in), setup.exe (x86 only),
#                      q48.exe, q48-emulator.exe: stripped, each with a debug link
#     service/         q48-service.exe, and the stand-in WltRS.dll in stand-in\
#                      beside it, as the service's MSI installs them: a decoder
#                      beside the service would hide the real one in the system
#                      folder
#     include/         Q48Reader.h
#     lib/             Q48Reader.lib (MSVC), Q48Reader.def, libQ48Reader.dll.a (MinGW)
#     examples/        read_card.c, ReadCard.cs, read_card.py
#     profiles/        the emulator's card profiles
#   Q48Reader-<version>-win32-debug.zip
#     bin/*.debug, service/*.debug, service/stand-in/*.debug
#                      the debugging information the debug links name
#
# The stripped copies, .debug files, .def and .lib are made by the build (in
# <build>/kit), not at packaging time: they are rebuilt when a binary changes,
# a failing step fails the build where it is seen, and `cpack` and
# `cmake --install` only copy files. The build outputs in <build>/bin stay
# unstripped, for the tests and debugging.
#
# Included from Packaging.cmake on Windows only; the kit is the whole install
# there.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(Q48_KIT_SYSTEM win32)
  set(Q48_KIT_ARCH x86)
  set(Q48_KIT_BITS 32)
  set(Q48_DLLTOOL_MACHINE i386)
  set(Q48_KIT_OTHER_ZH "64 位进程请用 ${PROJECT_NAME}-${PROJECT_VERSION}-win64.zip。")
  set(Q48_KIT_OTHER_EN "For 64-bit processes use ${PROJECT_NAME}-${PROJECT_VERSION}-win64.zip.")
else()
  set(Q48_KIT_SYSTEM win64)
  set(Q48_KIT_ARCH x64)
  set(Q48_KIT_BITS 64)
  set(Q48_DLLTOOL_MACHINE i386:x86-64)
  set(Q48_KIT_OTHER_ZH "32 位进程（VB6、Delphi 7、目标平台为 x86 的 .NET 程序等）请用 ${PROJECT_NAME}-${PROJECT_VERSION}-win32.zip。")
  set(Q48_KIT_OTHER_EN "32-bit processes (VB6, Delphi 7, .NET with platform target x86, ...) need ${PROJECT_NAME}-${PROJECT_VERSION}-win32.zip.")
endif()
set(Q48_KIT_DIR ${PROJECT_BINARY_DIR}/kit)

find_program(Q48_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(NOT Q48_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool (Debian package llvm) makes the kit's MSVC import library: run scripts/setup.sh")
endif()
foreach(tool CMAKE_OBJCOPY CMAKE_NM)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set: the mingw-w64 binutils are missing")
  endif()
endforeach()

# Paths inside the kit, relative to its top folder; SHA256SUMS lists them.
set(Q48_KIT_FILES "")
# Build steps' outputs, made by the q48_kit target.
set(Q48_KIT_OUTPUTS "")

# The file name a program or DLL target builds (no generator expression may
# name a custom command's output).
function(q48_kit_file_name target out)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(${out} ${name}${CMAKE_EXECUTABLE_SUFFIX} PARENT_SCOPE)
    return()
  endif()
  get_target_property(prefix ${target} PREFIX)
  if(NOT prefix STREQUAL "")
    message(FATAL_ERROR "${target}: a DLL of the kit is named without the \"lib\" prefix (PREFIX \"\")")
  endif()
  set(${out} ${name}${CMAKE_SHARED_LIBRARY_SUFFIX} PARENT_SCOPE)
endfunction()

# The kit's programs and libraries. A new one is one more name here (and a
# line in README.txt, which the kit's test checks).
foreach(target Q48Reader WltRS setup q48 q48-emulator q48-service)
  if(NOT TARGET ${target})
    continue()
  endif()
  # setup.exe installs and registers 32-bit controls: a 64-bit one would put
  # them in the 64-bit system folder and fail to register them.
  if(target STREQUAL "setup" AND NOT Q48_KIT_ARCH STREQUAL "x86")
    continue()
  endif()
  q48_kit_file_name(${target} file)
  set(folder bin)
  if(target STREQUAL "q48-service")
    set(folder service)
  endif()
  set(stripped ${Q48_KIT_DIR}/${folder}/${file})
  set(debug ${Q48_KIT_DIR}/${folder}/${file}.debug)
  # The debug link holds the .debug file's name and CRC, so it is made from
  # the finished .debug file.
  add_custom_command(OUTPUT ${stripped} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${Q48_KIT_DIR}/${folder}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}> ${stripped}
    DEPENDS ${target}
    COMMENT "Kit: stripping ${file}"
    VERBATIM)
  list(APPEND Q48_KIT_OUTPUTS ${stripped} ${debug})
  install(PROGRAMS ${stripped} DESTINATION ${folder} COMPONENT kit)
  install(FILES ${debug} DESTINATION ${folder} COMPONENT debug)
  list(APPEND Q48_KIT_FILES ${folder}/${file})
endforeach()

# The stand-in decoder once more, in service/stand-in/, where q48-service
# takes it only when no other decoder is found (tools/common/service_platform.h).
if(TARGET WltRS AND TARGET q48-service)
  set(standin ${Q48_KIT_DIR}/service/stand-in)
  add_custom_command(OUTPUT ${standin}/WltRS.dll ${standin}/WltRS.dll.debug
    COMMAND ${CMAKE_COMMAND} -E make_directory ${standin}
    COMMAND ${CMAKE_COMMAND} -E copy ${Q48_KIT_DIR}/bin/WltRS.dll ${Q48_KIT_DIR}/bin/WltRS.dll.debug ${standin}/
    DEPENDS ${Q48_KIT_DIR}/bin/WltRS.dll ${Q48_KIT_DIR}/bin/WltRS.dll.debug
    COMMENT "Kit: the service's stand-in decoder"
    VERBATIM)
  list(APPEND Q48_KIT_OUTPUTS ${standin}/WltRS.dll ${standin}/WltRS.dll.debug)
  install(PROGRAMS ${standin}/WltRS.dll DESTINATION service/stand-in COMPONENT kit)
  install(FILES ${standin}/WltRS.dll.debug DESTINATION service/stand-in COMPONENT debug)
  list(APPEND Q48_KIT_FILES service/stand-in/WltRS.dll)
endif()

# Import libraries: the .def names the exports as the compiled code has them
# (on x86 with their __stdcall argument sizes, read from the DLL's symbol
# table), and both import libraries map those names to the undecorated
# exports: Q48Reader.lib for MSVC, libQ48Reader.dll.a for MinGW. (The one the
# linker writes beside the DLL has undecorated names on x86, which a program
# that includes Q48Reader.h cannot link against.)
get_target_property(sources Q48Reader SOURCES)
get_target_property(source_dir Q48Reader SOURCE_DIR)
list(FILTER sources INCLUDE REGEX "\\.def$")
cmake_path(ABSOLUTE_PATH sources BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE export_def)
set(kit_def ${Q48_KIT_DIR}/lib/Q48Reader.def)
set(kit_lib ${Q48_KIT_DIR}/lib/Q48Reader.lib)
set(kit_mingw_lib ${Q48_KIT_DIR}/lib/libQ48Reader.dll.a)
if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "CMAKE_DLLTOOL is not set: the mingw-w64 binutils are missing")
endif()
if(Q48_KIT_ARCH STREQUAL "x86")
  # Cuts "@n" from each import's name: the DLL exports undecorated names.
  set(kill_at --kill-at)
endif()
add_custom_command(OUTPUT ${kit_def} ${kit_lib} ${kit_mingw_lib}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${Q48_KIT_DIR}/lib
  COMMAND ${CMAKE_COMMAND} -DQ48_KIT_STEP=def -DQ48_NM=${CMAKE_NM} -DQ48_DLL=$<TARGET_FILE:Q48Reader>
    -DQ48_EXPORT_DEF=${export_def} -DQ48_OUT=${kit_def} -DQ48_ARCH=${Q48_KIT_ARCH}
    -DQ48_DLLTOOL_MACHINE=${Q48_DLLTOOL_MACHINE} -DQ48_VERSION=${PROJECT_VERSION}
    -P ${CMAKE_CURRENT_LIST_DIR}/WindowsKitSteps.cmake
  COMMAND ${Q48_LLVM_DLLTOOL} -m ${Q48_DLLTOOL_MACHINE} ${kill_at} -d ${kit_def} -l ${kit_lib}
  COMMAND ${CMAKE_DLLTOOL} -m ${Q48_DLLTOOL_MACHINE} ${kill_at} -d ${kit_def} -l ${kit_mingw_lib}
  DEPENDS Q48Reader ${export_def} ${CMAKE_CURRENT_LIST_DIR}/WindowsKitSteps.cmake
  COMMENT "Kit: Q48Reader.def and the import libraries"
  VERBATIM)
list(APPEND Q48_KIT_OUTPUTS ${kit_def} ${kit_lib} ${kit_mingw_lib})
install(FILES ${kit_lib} ${kit_def} ${kit_mingw_lib} DESTINATION lib COMPONENT kit)
list(APPEND Q48_KIT_FILES lib/Q48Reader.lib lib/Q48Reader.def lib/libQ48Reader.dll.a)

install(FILES ${PROJECT_SOURCE_DIR}/Q48Reader/include/Q48Reader.h DESTINATION include COMPONENT kit)
list(APPEND Q48_KIT_FILES include/Q48Reader.h)

foreach(example read_card.c ReadCard.cs read_card.py)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/${example} DESTINATION examples COMPONENT kit)
  list(APPEND Q48_KIT_FILES examples/${example})
endforeach()

file(GLOB profiles CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/emulator/profiles/*)
foreach(profile IN LISTS profiles)
  cmake_path(GET profile FILENAME name)
  install(FILES ${profile} DESTINATION profiles COMPONENT kit)
  list(APPEND Q48_KIT_FILES profiles/${name})
endforeach()

# CR LF for Notepad before Windows 10; the template carries the BOM.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${Q48_KIT_DIR}/README.txt
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${Q48_KIT_DIR}/README.txt DESTINATION . COMPONENT kit)
list(APPEND Q48_KIT_FILES README.txt)

add_custom_target(q48_kit ALL DEPENDS ${Q48_KIT_OUTPUTS})

# The kit's MinGW import library and header, for programs built here the way
# integrators build theirs (link it and add a dependency on q48_kit).
add_library(q48_kit_import INTERFACE)
target_link_libraries(q48_kit_import INTERFACE ${kit_mingw_lib})
target_include_directories(q48_kit_import INTERFACE ${PROJECT_SOURCE_DIR}/Q48Reader/include)

# Last of the kit's rules: the checksums of everything installed before.
list(SORT Q48_KIT_FILES)
install(CODE "set(Q48_KIT_FILES \"${Q48_KIT_FILES}\")" COMPONENT kit)
install(CODE "set(Q48_KIT_STEP sums)" COMPONENT kit)
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/WindowsKitSteps.cmake COMPONENT kit)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME ${Q48_KIT_SYSTEM})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${Q48_KIT_SYSTEM})
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kit debug)
# Both zips keep the top folder ${CPACK_PACKAGE_FILE_NAME}.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_KIT_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_ARCHIVE_DEBUG_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-debug)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
