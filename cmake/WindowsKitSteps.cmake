# Steps of the Windows kit (cmake/WindowsKit.cmake), run in script mode.
#
# Q48_KIT_STEP=def: writes the kit's Q48Reader.def. The export names come from
#   the library's own .def (Q48_EXPORT_DEF); each is written as the compiled
#   code defines it, found in the DLL's symbol table (Q48_NM on Q48_DLL): on
#   x86 "zelReadCard@4" (the __stdcall argument size), on x64 "zelReadCard".
#   Also Q48_OUT, Q48_ARCH, Q48_DLLTOOL_MACHINE, Q48_VERSION.
# Q48_KIT_STEP=sums: at install time, writes SHA256SUMS at the top of the
#   installed kit for the Q48_KIT_FILES (paths relative to that top).
if(Q48_KIT_STEP STREQUAL "def")
  file(STRINGS ${Q48_EXPORT_DEF} lines)
  set(names "")
  set(in_exports FALSE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "${Q48_EXPORT_DEF} exports nothing")
  endif()

  execute_process(COMMAND ${Q48_NM} --defined-only ${Q48_DLL}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${Q48_NM} cannot read ${Q48_DLL}")
  endif()
  string(REPLACE "\n" ";" symbols "${symbols}")

  set(exports "")
  foreach(name IN LISTS names)
    # i386 C names carry a leading underscore; a __stdcall alias also "@n".
    set(found "")
    foreach(symbol IN LISTS symbols)
      if(symbol MATCHES " T _?(${name}(@[0-9]+)?)$")
        if(found STREQUAL "" OR CMAKE_MATCH_2)
          set(found ${CMAKE_MATCH_1})
        endif()
      endif()
    endforeach()
    if(found STREQUAL "")
      message(FATAL_ERROR "${Q48_DLL} defines no ${name} (built without a symbol table?)")
    endif()
    if(Q48_ARCH STREQUAL "x86" AND NOT found MATCHES "@")
      message(FATAL_ERROR "${Q48_DLL}: ${name} has no __stdcall decoration")
    endif()
    string(APPEND exports "  ${found}\n")
  endforeach()

  if(Q48_ARCH STREQUAL "x86")
    string(CONCAT how "llvm-dlltool -m ${Q48_DLLTOOL_MACHINE} --kill-at -d Q48Reader.def -l Q48Reader.lib\n"
      "; (--kill-at: the DLL exports the names without \"@n\"; MinGW's dlltool takes the same options)")
  else()
    set(how "llvm-dlltool -m ${Q48_DLLTOOL_MACHINE} -d Q48Reader.def -l Q48Reader.lib")
  endif()
  string(CONCAT text
    "; Q48Reader ${Q48_VERSION} (${Q48_ARCH}): the exports of Q48Reader.dll, as the\n"
    "; compiled code names them. Q48Reader.lib (and libQ48Reader.dll.a, with MinGW's\n"
    "; dlltool) were made from this file with\n"
    "; ${how}\n"
    "LIBRARY Q48Reader.dll\n"
    "EXPORTS\n"
    "${exports}")
  file(WRITE ${Q48_OUT} "${text}")

elseif(Q48_KIT_STEP STREQUAL "sums")
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(file IN LISTS Q48_KIT_FILES)
    if(NOT EXISTS "${root}/${file}")
      message(FATAL_ERROR "kit: ${file} was not installed")
    endif()
    file(SHA256 "${root}/${file}" hash)
    # Two spaces: sha256sum's text mode, so `sha256sum -c SHA256SUMS` checks it.
    string(APPEND sums "${hash}  ${file}\n")
  endforeach()
  file(WRITE "${root}/SHA256SUMS" "${sums}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/SHA256SUMS")

else()
  message(FATAL_ERROR "WindowsKitSteps.cmake: unknown Q48_KIT_STEP '${Q48_KIT_STEP}'")
endif()
