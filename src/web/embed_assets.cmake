# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the files given in FILES (a ;-list) into one C++ source as string
# literals, for src/web's asset table.
# Usage: cmake -DOUTPUT=web_assets_data.cpp -DFILES="a.css;b.js" -P embed_assets.cmake
set(body "// Made by embed_assets.cmake from src/web/assets; do not edit.\n#include \"web/web_assets.h\"\n\n#include <array>\n\nnamespace vistrel {\n\nextern const std::array<WebAsset, ")
list(LENGTH FILES count)
string(APPEND body "${count}> kWebAssets;\nconst std::array<WebAsset, ${count}> kWebAssets = {{\n")
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR bytes "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(APPEND body "    {\"${name}\", std::string_view(\"${escaped}\", ${bytes})},\n")
endforeach()
string(APPEND body "}};\n\n} // namespace vistrel\n")
file(WRITE "${OUTPUT}.new" "${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
