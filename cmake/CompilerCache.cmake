# Compiles through ccache when it is installed: a second CI run, or a second
# work tree of the same sources, then rebuilds only what changed. Included
# before any target, by the main project and by the fuzz project.
# scripts/test.sh sets CCACHE_BASEDIR to the top of the checkout, so that
# objects are shared between clones at other paths.
option(Q48_CCACHE "Compile through ccache when it is installed" ON)
if(Q48_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(Q48_CCACHE_PROGRAM ccache)
  if(Q48_CCACHE_PROGRAM)
    set(CMAKE_C_COMPILER_LAUNCHER ${Q48_CCACHE_PROGRAM})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${Q48_CCACHE_PROGRAM})
  endif()
endif()
