// libFuzzer: the manifest value rules and the canonical JSON writer. The
// canonical text must parse again and be its own canonical form.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "manifest.h"

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

  // Manifests are parsed with a depth limit; mirror it.
  if (std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{') > 256) return 0;
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
