# Each library of ours gets an include root of its own under
# build/layers/<target>/, holding links to the headers of its own sources
# only, at their paths from the source root ("scan/CFragmentFit.h"). The root
# is PUBLIC, so a target sees its own headers and those of the libraries it
# links, and nothing above: an engine file that includes "gui/Dialogs.h"
# does not compile. Tests, benchmarks and tools with a main keep the whole
# source root.

set(CORVO_LAYER_TARGETS "" CACHE INTERNAL "")

# corvo_layer(target): registers a library; its headers are linked once every
# folder has added its sources (corvo_layer_headers at the end of the top level).
function(corvo_layer target)
  set(_root ${CMAKE_BINARY_DIR}/layers/${target})
  target_include_directories(${target} PUBLIC ${_root})
  set(CORVO_LAYER_TARGETS ${CORVO_LAYER_TARGETS} ${target} CACHE INTERNAL "")
endfunction()

function(corvo_layer_headers)
  foreach(target ${CORVO_LAYER_TARGETS})
    if(NOT TARGET ${target})
      continue()
    endif()
    set(_root ${CMAKE_BINARY_DIR}/layers/${target})
    file(REMOVE_RECURSE ${_root})
    file(MAKE_DIRECTORY ${_root})
    get_target_property(_sources ${target} SOURCES)
    get_target_property(_dir ${target} SOURCE_DIR)
    foreach(_s ${_sources})
      if(NOT _s MATCHES "\\.h$")
        continue()
      endif()
      if(NOT IS_ABSOLUTE ${_s})
        set(_s ${_dir}/${_s})
      endif()
      file(RELATIVE_PATH _rel ${CMAKE_SOURCE_DIR} ${_s})
      get_filename_component(_parent ${_root}/${_rel} DIRECTORY)
      file(MAKE_DIRECTORY ${_parent})
      file(CREATE_LINK ${_s} ${_root}/${_rel} SYMBOLIC)
    endforeach()
  endforeach()
endfunction()
