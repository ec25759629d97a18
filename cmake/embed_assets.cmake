# cmake -DROOT=<assets folder> -DOUT=<generated .cpp> -P embed_assets.cmake
# Writes every file under ROOT as a string literal of \xNN escapes (exact bytes,
# NULs included) and the sorted name table that web/assets.h declares.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${ROOT} ${ROOT}/*)
list(SORT files)
string(REPEAT "[0-9a-f][0-9a-f]" 32 line_pattern)

set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
  file(READ ${ROOT}/${name} hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  # 32 bytes per source line, each byte as \xNN.
  string(REGEX REPLACE "(${line_pattern})" "\\1\n" lines "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${lines}")
  string(REPLACE "\n" "\"\n    \"" escaped "${escaped}")
  string(APPEND body "// ${name}\nconst char kAsset${index}[] =\n    \"${escaped}\";\n\n")
  string(REPLACE "\\" "\\\\" cname "${name}")
  string(REPLACE "\"" "\\\"" cname "${cname}")
  string(APPEND table "    {\"${cname}\", std::string_view(kAsset${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()

if(index EQUAL 0)
  set(table_decl "const EmbeddedAsset* const kAssets = nullptr;\nconstexpr std::size_t kAssetCount = 0;\n")
else()
  set(table_decl "const EmbeddedAsset kAssets[] = {\n${table}};\nconstexpr std::size_t kAssetCount = ${index};\n")
endif()

set(text "// Generated from assets/ by cmake/embed_assets.cmake. Do not edit.
#include <algorithm>
#include <cstddef>

#include \"web/assets.h\"

namespace corvane {
namespace {

${body}${table_decl}
}  // namespace

std::span<const EmbeddedAsset> embedded_assets() { return {kAssets, kAssetCount}; }

std::optional<std::string_view> embedded_asset(std::string_view name) {
    auto all = embedded_assets();
    auto it = std::lower_bound(all.begin(), all.end(), name,
                               [](const EmbeddedAsset& a, std::string_view n) { return a.name < n; });
    if (it == all.end() || it->name != name) return std::nullopt;
    return it->bytes;
}

}  // namespace corvane
")
file(WRITE ${OUT} "${text}")
