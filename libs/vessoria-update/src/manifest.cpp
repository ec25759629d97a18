#include "manifest.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace vessoria {
namespace {

constexpr char32_t kBadChar = 0xFFFD;

// Decodes one code point at text[i]; a malformed byte counts as one
// character that matches nothing.
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& len) {
  auto b = static_cast<unsigned char>(text[i]);
  len = 1;
  if (b < 0x80) return b;
  int need;
  char32_t cp;
  if (b >= 0xC2 && b <= 0xDF) { need = 1; cp = b & 0x1F; }
  else if (b >= 0xE0 && b <= 0xEF) { need = 2; cp = b & 0x0F; }
  else if (b >= 0xF0 && b <= 0xF4) { need = 3; cp = b & 0x07; }
  else return kBadChar;
  if (i + need >= text.size()) return kBadChar;
  for (int k = 1; k <= need; ++k) {
    auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return kBadChar;
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kBadChar;
  len = static_cast<std::size_t>(need) + 1;
  return cp;
}

bool is_py_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Value 0-9 of a decimal digit of the accepted scripts, or -1.
int digit_value(char32_t c) {
  static constexpr char32_t kZeros[] = {0x30,   0x660,  0x6F0,  0x7C0,  0x966,  0x9E6,  0xA66,  0xAE6,
                                        0xB66,  0xBE6,  0xC66,  0xCE6,  0xD66,  0xDE6,  0xE50,  0xED0,
                                        0xF20,  0x1040, 0x1090, 0x17E0, 0x1810, 0xFF10};
  for (char32_t z : kZeros) {
    if (c >= z && c <= z + 9) return static_cast<int>(c - z);
  }
  return -1;
}

int hex_value(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  std::size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits.push_back(c);
  int exp = 0;
  std::string_view et = sci.substr(epos + 1);
  bool eneg = et.front() == '-';
  std::from_chars(et.data() + 1, et.data() + et.size(), exp);
  if (eneg) exp = -exp;

  if (exp < -4 || exp >= 16) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exp < 0 ? '-' : '+');
    int mag = exp < 0 ? -exp : exp;
    if (mag < 10) out.push_back('0');
    out += std::to_string(mag);
    return out;
  }
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
    return out;
  }
  std::size_t int_len = static_cast<std::size_t>(exp) + 1;
  if (digits.size() <= int_len) {
    out += digits;
    out.append(int_len - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, int_len);
    out.push_back('.');
    out.append(digits, int_len);
  }
  return out;
}

using Members = std::vector<std::pair<const std::string*, const Json*>>;

// One array or object being written: what it is and how far it got.
struct Level {
  const Json* value;
  std::size_t next = 0;
  Members members;  // an object's members in the order they are written
};

// Writes arrays and objects compactly ("[a,b]", {"k":v}) with `scalar` for every
// other value and `key` for member names; `sorted` orders an object's members
// by the bytes of their names, else they keep their stored order. A manifest
// is read before its signature is checked, so its nesting is whatever the
// sender chose: the levels live on a heap stack, never the call stack.
template <typename Scalar, typename Key>
void write_nested(const Json& root, std::string& out, bool sorted, Scalar scalar, Key key) {
  std::vector<Level> stack;
  auto begin = [&](const Json& v) {
    if (v.is_array()) {
      out.push_back('[');
      stack.push_back(Level{&v, 0, {}});
    } else if (v.is_object()) {
      out.push_back('{');
      Members members;
      members.reserve(v.size());
      for (auto it = v.begin(); it != v.end(); ++it) members.emplace_back(&it.key(), &it.value());
      // char_traits<char> compares as unsigned bytes, shorter prefix first.
      if (sorted)
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return *a.first < *b.first; });
      stack.push_back(Level{&v, 0, std::move(members)});
    } else {
      scalar(v, out);
    }
  };
  begin(root);
  while (!stack.empty()) {
    Level& top = stack.back();
    const bool array = top.value->is_array();
    const std::size_t count = array ? top.value->size() : top.members.size();
    if (top.next == count) {
      out.push_back(array ? ']' : '}');
      stack.pop_back();
      continue;
    }
    if (top.next > 0) out.push_back(',');
    const std::size_t i = top.next++;
    if (array) {
      begin((*top.value)[i]);  // may grow the stack: `top` is not used after this
    } else {
      const Json* member = top.members[i].second;
      key(*top.members[i].first, out);
      out.push_back(':');
      begin(*member);
    }
  }
}

}  // namespace

bool py_truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return false;
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return v.get<double>() != 0.0;
    case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !v.empty();
    default: return false;
  }
}

const char* py_type_name(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "NoneType";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "int";
    case Json::value_t::number_float: return "float";
    case Json::value_t::string: return "str";
    case Json::value_t::array: return "list";
    case Json::value_t::object: return "dict";
    default: return "NoneType";
  }
}

std::string py_json_number(const Json& v) {
  if (v.is_number_unsigned()) return std::to_string(v.get<std::uint64_t>());
  if (v.is_number_integer()) {
    std::int64_t i = v.get<std::int64_t>();
    if (i >= 0) return std::to_string(i);
    // Negating in unsigned arithmetic keeps INT64_MIN well-defined. Appended
    // rather than `"-" + text`: GCC 12 at -O3 warns wrongly about that form
    // (-Wrestrict).
    std::string out = "-";
    out += std::to_string(std::uint64_t(0) - static_cast<std::uint64_t>(i));
    return out;
  }
  return float_text(v.get<double>());
}

std::string py_str(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "None";
    case Json::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return py_json_number(v);
    case Json::value_t::string: return v.get<std::string>();
    default: {
      // The JSON library's compact text, written level by level: its own
      // writer recurses once per level.
      auto library_text = [](const Json& x, std::string& o) {
        o += x.dump(-1, ' ', false, Json::error_handler_t::replace);
      };
      std::string out;
      write_nested(v, out, false, library_text,
                   [&](const std::string& k, std::string& o) { library_text(Json(k), o); });
      return out;
    }
  }
}

std::string_view py_strip(std::string_view text) {
  std::size_t begin = 0, len = 0;
  while (begin < text.size() && is_py_space(decode_at(text, begin, len))) begin += len;
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    char32_t c = decode_at(text, start, len);
    if (start + len != end || !is_py_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::optional<__int128> py_int(std::string_view text) {
  std::string_view s = py_strip(text);
  if (s.empty()) return std::nullopt;
  bool neg = false;
  std::size_t i = 0;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return std::nullopt;
  using u128 = unsigned __int128;
  const u128 limit = u128(1) << 127;
  u128 mag = 0;
  bool any_digit = false;
  bool prev_underscore = true;  // refuses "_" first or right after the sign
  std::size_t len = 0;
  for (; i < s.size(); i += len) {
    char32_t c = decode_at(s, i, len);
    if (c == '_') {
      if (prev_underscore) return std::nullopt;
      prev_underscore = true;
      continue;
    }
    int d = digit_value(c);
    if (d < 0) return std::nullopt;
    prev_underscore = false;
    any_digit = true;
    if (mag >= (limit + 9) / 10) return std::nullopt;
    mag = mag * 10 + static_cast<unsigned>(d);
    if (mag >= limit) return std::nullopt;
  }
  if (!any_digit || prev_underscore) return std::nullopt;
  __int128 m = static_cast<__int128>(mag);
  return neg ? -m : m;
}

VersionTuple version_tuple(std::string_view text) {
  std::string_view s = py_strip(text);
  while (!s.empty() && s.front() == 'v') s.remove_prefix(1);
  VersionTuple out;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = s.find('.', start);
    std::string_view piece = s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
    auto n = py_int(piece);
    if (!n) return {0};
    out.push_back(*n);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return out;
}

bool version_newer(const VersionTuple& a, const VersionTuple& b) {
  return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

Result<std::vector<std::uint8_t>> py_fromhex(std::string_view text) {
  std::vector<char32_t> cps;
  cps.reserve(text.size());
  for (std::size_t i = 0, len = 0; i < text.size(); i += len) cps.push_back(decode_at(text, i, len));
  std::vector<std::uint8_t> out;
  out.reserve(cps.size() / 2);
  std::size_t i = 0;
  auto fail = [](std::size_t pos) {
    return Result<std::vector<std::uint8_t>>::failure(
        "non-hexadecimal number found in fromhex() arg at position " + std::to_string(pos));
  };
  while (i < cps.size()) {
    char32_t c = cps[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
      ++i;
      continue;
    }
    int hi = hex_value(c);
    if (hi < 0) return fail(i);
    if (i + 1 >= cps.size()) return fail(i + 1);
    int lo = hex_value(cps[i + 1]);
    if (lo < 0) return fail(i + 1);
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::optional<UpdateKey> key_from_hex(std::string_view text) {
  auto bytes = py_fromhex(py_strip(text));
  if (!bytes || bytes.value().size() != 32) return std::nullopt;
  UpdateKey key;
  std::copy(bytes.value().begin(), bytes.value().end(), key.begin());
  return key;
}

void json_escape(std::string_view text, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  // Only ASCII is ever escaped, so working on bytes copies every other code
  // point through unchanged.
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void canonical_json(const Json& value, std::string& out) {
  write_nested(value, out, true, [](const Json& v, std::string& o) {
    switch (v.type()) {
      case Json::value_t::null: o += "null"; return;
      case Json::value_t::boolean: o += v.get<bool>() ? "true" : "false"; return;
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
      case Json::value_t::number_float: o += py_json_number(v); return;
      case Json::value_t::string: json_escape(v.get_ref<const std::string&>(), o); return;
      default: o += "null"; return;
    }
  }, [](const std::string& key, std::string& o) { json_escape(key, o); });
}

}  // namespace vessoria
