# Turns the dashboard's files into a C++ source of byte arrays (web_assets.h), at build time.
#   cmake -DOUTPUT=FILE.cpp -DWEB_DIR=DIR -P embed_web.cmake
# Each file of DIR listed below is served at the path beside it.
# FILE|PATH|TYPE, each served with "; charset=utf-8".
set(_assets
  "index.html|/|text/html"
  "app.css|/app.css|text/css"
  "app.js|/app.js|text/javascript")

set(_text "// Made by serve/embed_web.cmake from serve/web/; not to be edited.\n")
string(APPEND _text "#include \"serve/web_assets.h\"\n\nnamespace vantor::serve {\n\nnamespace {\n")
set(_table "")
set(_index 0)
foreach(_asset ${_assets})
  string(REPLACE "|" ";" _parts "${_asset}")
  list(GET _parts 0 _file)
  list(GET _parts 1 _path)
  list(GET _parts 2 _type)
  file(READ "${WEB_DIR}/${_file}" _hex HEX)
  string(LENGTH "${_hex}" _hex_length)
  if(_hex_length EQUAL 0)
    message(FATAL_ERROR "${WEB_DIR}/${_file} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  # Sixteen bytes a line keep the source readable by a compiler's diagnostics.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _bytes "${_bytes}")
  string(APPEND _text "const unsigned char kAsset${_index}[] = {\n    ${_bytes}\n};\n")
  string(APPEND _table "    {\"${_path}\", kAsset${_index}, sizeof kAsset${_index}, \"${_type}; charset=utf-8\"},\n")
  math(EXPR _index "${_index} + 1")
endforeach()
string(APPEND _text "\n}  // namespace\n\nconst WebAsset kWebAssets[] = {\n${_table}};\n")
string(APPEND _text "const std::size_t kWebAssetCount = ${_index};\n\n}  // namespace vantor::serve\n")

# Written only when it changed, so that an unchanged page rebuilds nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" _old)
  if(_old STREQUAL _text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${_text}")
