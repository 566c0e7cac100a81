# Windows version information: q48_add_version_info(<target> "<description>")
# gives a program or DLL a VERSIONINFO resource (file and product version from
# project(VERSION), the product name, the description, the file's own name),
# which Explorer's file properties and GetFileVersionInfo show. Elsewhere it
# does nothing, so the call sits beside the target for every platform.
if(WIN32)
  enable_language(RC)
endif()

set(Q48_VERSION_INFO_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(q48_add_version_info target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(Q48_FILE_TYPE VFT_APP)
  elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(Q48_FILE_TYPE VFT_DLL)
  else()
    message(FATAL_ERROR "q48_add_version_info: ${target} is neither a program nor a DLL")
  endif()
  # A quotation mark is doubled inside a resource string.
  string(REPLACE "\"" "\"\"" Q48_DESCRIPTION "${description}")
  # Four numbers for the binary fields; the tweak is 0 when the project has none.
  set(tweak 0)
  if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
    set(tweak ${PROJECT_VERSION_TWEAK})
  endif()
  set(Q48_VERSION_NUMBERS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${tweak}")
  # configure_file fills in the facts known now; file(GENERATE) the file name,
  # known only once the target's output name is.
  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${Q48_VERSION_INFO_TEMPLATE} ${stage} @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${stage})
  target_sources(${target} PRIVATE ${rc})
endfunction()
