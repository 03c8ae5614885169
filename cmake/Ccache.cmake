# Included by the presets before the project is set up: ccache serves as compiler launcher where it is
# installed, and the build never needs it. -DVELMORA_CCACHE=OFF turns it off; a launcher given on the
# command line wins.
if(NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER AND NOT DEFINED CMAKE_C_COMPILER_LAUNCHER)
  find_program(VELMORA_CCACHE ccache DOC "ccache, used as compiler launcher when found (OFF: never)")
  if(VELMORA_CCACHE)
    set(CMAKE_C_COMPILER_LAUNCHER "${VELMORA_CCACHE}")
    set(CMAKE_CXX_COMPILER_LAUNCHER "${VELMORA_CCACHE}")
  endif()
endif()
