# vantor_add_layer(FOLDER SOURCES source... [LINKS target...])
#
# Makes the static library vantor_FOLDER from the listed sources of one folder of the project.
# The library and everything that links it reach the folder's headers as "FOLDER/name.h"
# through an include root of their own, a directory in the build tree that holds nothing but a
# link to that one folder. A source therefore finds the headers of its own folder and of the
# layers it links, and nothing else: an include of a layer above it does not build.
function(vantor_add_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "SOURCES;LINKS")
  if(NOT LAYER_SOURCES)
    message(FATAL_ERROR "vantor_add_layer(${folder}): no SOURCES")
  endif()
  set(include_root ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${include_root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${include_root}/${folder} SYMBOLIC)

  add_library(vantor_${folder} STATIC ${LAYER_SOURCES})
  target_include_directories(vantor_${folder} PUBLIC ${include_root})
  target_link_libraries(vantor_${folder} PUBLIC ${LAYER_LINKS} PRIVATE vantor_warnings)
endfunction()
