# vantor_add_layer(FOLDER SOURCES source... [LINKS target...])
#
# Makes the static library vantor_FOLDER from the listed sources of one folder of the project
# (a folder below another, such as cli/download, gives vantor_cli_download). The library and
# everything that links it reach the folder's headers as "FOLDER/name.h" through an include root
# of their own, a directory in the build tree that holds nothing but a link to that one folder.
# A source therefore finds the headers of its own folder and of the layers it links, and
# nothing else: an include of a layer above it, or of a sibling it does not link, does not
# build.
function(vantor_add_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "SOURCES;LINKS")
  if(NOT LAYER_SOURCES)
    message(FATAL_ERROR "vantor_add_layer(${folder}): no SOURCES")
  endif()
  string(REPLACE "/" "_" name ${folder})
  set(include_root ${PROJECT_BINARY_DIR}/layers/${name})
  get_filename_component(link_parent ${include_root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${include_root}/${folder} SYMBOLIC)

  add_library(vantor_${name} STATIC ${LAYER_SOURCES})
  target_include_directories(vantor_${name} PUBLIC ${include_root})
  target_link_libraries(vantor_${name} PUBLIC ${LAYER_LINKS} PRIVATE vantor_warnings)
endfunction()
