// libFuzzer: the manifest value rules and the canonical JSON writer. The
// canonical text must parse again and be its own canonical form.
#include <cstdlib>
#include <string>

#include "manifest.h"

namespace {

// Arrays and objects nest at most `limit` deep (brackets in strings skipped).
bool nesting_within(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The value rules take any text.
  (void)vessoria::py_strip(text);
  (void)vessoria::py_int(text);
  (void)vessoria::version_tuple(text);
  (void)vessoria::py_fromhex(text);
  (void)vessoria::key_from_hex(text);
  std::string escaped;
  vessoria::json_escape(text, escaped);

  // The writers take any depth; the limit only spares the JSON library, whose
  // copy of an object's earlier members (when it adds one while parsing)
  // recurses. The program refuses deeper text before parsing it.
  if (!nesting_within(text, 1000)) return 0;
  auto v = vessoria::Json::parse(text, nullptr, false);
  if (v.is_discarded()) return 0;
  (void)vessoria::py_str(v);
  (void)vessoria::py_truthy(v);
  std::string once;
  vessoria::canonical_json(v, once);
  auto again = vessoria::Json::parse(once, nullptr, false);
  if (again.is_discarded()) std::abort();
  std::string twice;
  vessoria::canonical_json(again, twice);
  if (once != twice) std::abort();
  return 0;
}
