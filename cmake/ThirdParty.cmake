# Header-only libraries from Debian's packages: nlohmann-json, CLI11 and
# Boost (Beast, Asio). A native build finds them in /usr/include; a cross
# build sees only these folders, through links in its own build tree, never
# the rest of /usr/include (whose other headers belong to the build machine).
set(Q48_THIRD_PARTY_INCLUDE ${PROJECT_BINARY_DIR}/third_party/include)

function(q48_header_library target folder probe)
  if(NOT EXISTS /usr/include/${probe})
    message(FATAL_ERROR "/usr/include/${probe} is missing: run scripts/setup.sh")
  endif()
  add_library(${target} INTERFACE)
  if(CMAKE_CROSSCOMPILING)
    file(MAKE_DIRECTORY ${Q48_THIRD_PARTY_INCLUDE})
    file(CREATE_LINK /usr/include/${folder} ${Q48_THIRD_PARTY_INCLUDE}/${folder} SYMBOLIC)
    target_include_directories(${target} SYSTEM INTERFACE ${Q48_THIRD_PARTY_INCLUDE})
  endif()
endfunction()

q48_header_library(q48_json nlohmann nlohmann/json.hpp)
q48_header_library(q48_cli11 CLI CLI/CLI.hpp)
q48_header_library(q48_beast boost boost/beast.hpp)
if(WIN32)
  target_link_libraries(q48_beast INTERFACE ws2_32 mswsock)
else()
  find_package(Threads REQUIRED)
  target_link_libraries(q48_beast INTERFACE Threads::Threads)
endif()
# ThreadSanitizer does not model fences, and GCC refuses them under it. Asio's
# fences around handlers only add to the ordering its scheduler's mutex
# already gives, which the sanitizer does see.
if(Q48_SANITIZE MATCHES "thread")
  target_compile_definitions(q48_beast INTERFACE BOOST_ASIO_DISABLE_FENCED_BLOCK)
endif()
