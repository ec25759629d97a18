#include "manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include "test_util.h"

namespace vessoria {
namespace {

Json parse(std::string_view text) { return Json::parse(text); }

std::string canon(std::string_view text) {
  std::string out;
  canonical_json(parse(text), out);
  return out;
}

std::string i128_text(__int128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  unsigned __int128 m = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string s;
  while (m) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return neg ? "-" + s : s;
}

std::string fmt_hex(std::uint8_t b) {
  static const char kHex[] = "0123456789abcdef";
  return {kHex[b >> 4], kHex[b & 15]};
}

std::string tuple_text(const VersionTuple& t) {
  std::string s;
  for (auto v : t) {
    if (!s.empty()) s += ',';
    s += i128_text(v);
  }
  return "(" + s + ")";
}

TEST(ManifestRules, Truthiness) {
  for (const char* f : {"0", "0.0", "-0.0", "\"\"", "[]", "{}", "null", "false"})
    EXPECT_FALSE(py_truthy(parse(f))) << f;
  for (const char* t : {"\"0\"", "[null]", "1", "-1", "0.5", "true", "{\"a\":0}"})
    EXPECT_TRUE(py_truthy(parse(t))) << t;
  EXPECT_TRUE(py_truthy(Json(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_STREQ(py_type_name(parse("7")), "int");
  EXPECT_STREQ(py_type_name(parse("-7")), "int");
  EXPECT_STREQ(py_type_name(parse("7.0")), "float");
  EXPECT_STREQ(py_type_name(parse("null")), "NoneType");
  EXPECT_STREQ(py_type_name(parse("[]")), "list");
  EXPECT_STREQ(py_type_name(parse("{}")), "dict");
}

TEST(ManifestRules, TextForms) {
  struct Case {
    Json value;
    const char* text;
  } cases[] = {
      {parse("null"), "None"},
      {parse("true"), "True"},
      {parse("false"), "False"},
      {parse("2.0"), "2.0"},
      {parse("7"), "7"},
      {parse("-7"), "-7"},
      {parse("-0"), "0"},
      {parse("\"hola\""), "hola"},
      {parse("[1,\"a\",{\"b\":null}]"), "[1,\"a\",{\"b\":null}]"},
      {parse("18446744073709551615"), "18446744073709551615"},
      {parse("-9223372036854775808"), "-9223372036854775808"},
      {Json(1.0), "1.0"},
      {Json(100.0), "100.0"},
      {Json(0.0001), "0.0001"},
      {Json(0.00001), "1e-05"},
      {Json(1.5e16), "1.5e+16"},
      {Json(1e16), "1e+16"},
      {Json(1e15), "1000000000000000.0"},
      {Json(1e100), "1e+100"},
      {Json(-0.0), "-0.0"},
      {Json(0.1), "0.1"},
      {Json(123.456), "123.456"},
      {Json(5e-324), "5e-324"},
      {Json(1.7976931348623157e308), "1.7976931348623157e+308"},
      {Json(std::numeric_limits<double>::quiet_NaN()), "NaN"},
      {Json(std::numeric_limits<double>::infinity()), "Infinity"},
      {Json(-std::numeric_limits<double>::infinity()), "-Infinity"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_str(c.value), c.text) << c.text;
}

TEST(ManifestRules, Strip) {
  EXPECT_EQ(py_strip(" \t\n\v\f\r x y \r\n"), "x y");
  EXPECT_EQ(py_strip("\u00a0\u3000\u2028z\u205f\u0085"), "z");
  // U+001C..U+001F are not whitespace here.
  EXPECT_EQ(py_strip("\x1cz\x1f"), "\x1cz\x1f");
  EXPECT_EQ(py_strip("  "), "");
  EXPECT_EQ(py_strip("é"), "é");
}

TEST(ManifestRules, Int) {
  struct Case {
    const char* text;
    const char* value;  // nullptr: fails
  } cases[] = {
      {"1_000", "1000"}, {"+5", "5"}, {" 12 ", "12"}, {"-0", "0"}, {"007", "7"},
      {"\uff11\uff12", "12"}, {"\u0661\u0660", "10"}, {"-1_2_3", "-123"},
      {"170141183460469231731687303715884105727", "170141183460469231731687303715884105727"},
      {"-170141183460469231731687303715884105727", "-170141183460469231731687303715884105727"},
      {"170141183460469231731687303715884105728", nullptr},
      {"-170141183460469231731687303715884105728", nullptr},
      {"1__0", nullptr}, {"_1", nullptr}, {"1_", nullptr}, {"+_1", nullptr}, {"+", nullptr},
      {"-", nullptr}, {"", nullptr}, {"   ", nullptr}, {"0x10", nullptr}, {"1.0", nullptr},
      {"1 2", nullptr}, {"\u00b2", nullptr}, {"١x", nullptr},
  };
  for (const auto& c : cases) {
    auto v = py_int(c.text);
    if (c.value == nullptr) {
      EXPECT_FALSE(v.has_value()) << c.text;
    } else {
      ASSERT_TRUE(v.has_value()) << c.text;
      EXPECT_EQ(i128_text(*v), c.value) << c.text;
    }
  }
}

TEST(ManifestRules, VersionTupleAndComparison) {
  struct Case {
    const char* text;
    const char* tuple;
  } cases[] = {
      {"v0.10.46", "(0,10,46)"}, {"1.2.beta", "(0)"}, {"1..2", "(0)"}, {"V1.2", "(0)"}, {"", "(0)"},
      {"vv1.2", "(1,2)"}, {" 1 . 2 ", "(1,2)"}, {"1.-2", "(1,-2)"}, {"1_0.2", "(10,2)"},
  };
  for (const auto& c : cases) EXPECT_EQ(tuple_text(version_tuple(c.text)), c.tuple) << c.text;

  struct Order {
    const char* a;
    const char* b;
    bool newer;
  } orders[] = {
      {"0.10.45", "0.10.45", false}, {"0.10.45.1", "0.10.45", true}, {"0.9.99", "0.10.45", false},
      {"1.2", "1.1.9", true},        {"1.2.0", "1.2", true},         {"v1.2", "1.2", false},
      {"1.2", "v1.2", false},        {"0.10.46", "0.10.45", true},   {"-1", "0", false},
  };
  for (const auto& o : orders)
    EXPECT_EQ(version_newer(version_tuple(o.a), version_tuple(o.b)), o.newer) << o.a << " vs " << o.b;
}

TEST(ManifestRules, FromHex) {
  auto ok = py_fromhex("0a 1B");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok.value(), (std::vector<std::uint8_t>{0x0a, 0x1b}));
  EXPECT_TRUE(py_fromhex(" \t\n\f\r").value().empty());
  EXPECT_TRUE(py_fromhex("").value().empty());
  struct Case {
    const char* text;
    int position;
  } cases[] = {{"abc", 3}, {" b", 2}, {"a b", 1}, {"zz", 0}, {"00\v11", 2}, {"0\v", 1}, {"éa", 0}, {"00é0", 2},
               {"0é", 1}};
  for (const auto& c : cases) {
    auto r = py_fromhex(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error(), "non-hexadecimal number found in fromhex() arg at position " + std::to_string(c.position))
        << c.text;
  }
  std::string hex64(64, 'a');
  EXPECT_TRUE(key_from_hex(hex64 + "\n").has_value());
  EXPECT_TRUE(key_from_hex("  " + hex64).has_value());
  EXPECT_FALSE(key_from_hex(hex64.substr(2)).has_value());
  EXPECT_FALSE(key_from_hex(hex64 + "aa").has_value());
  EXPECT_FALSE(key_from_hex(hex64.substr(1) + "g").has_value());
  auto key = key_from_hex("00ff" + std::string(60, '1'));
  ASSERT_TRUE(key);
  EXPECT_EQ((*key)[0], 0x00);
  EXPECT_EQ((*key)[1], 0xff);
}

TEST(ManifestRules, CanonicalText) {
  EXPECT_EQ(canon(R"({"b":1,"a":2,"B":3})"), R"({"B":3,"a":2,"b":1})");
  EXPECT_EQ(canon(R"({"k":"é"})"), "{\"k\":\"\xc3\xa9\"}");
  EXPECT_EQ(canon(R"({"x":1e16,"i":10,"f":10.0})"), R"({"f":10.0,"i":10,"x":1e+16})");
  EXPECT_EQ(canon(R"({"ab":1,"a":2,"":3,"é":4,"z":5})"), "{\"\":3,\"a\":2,\"ab\":1,\"z\":5,\"\xc3\xa9\":4}");
  EXPECT_EQ(canon(R"([ [], {}, null, true, false ])"), "[[],{},null,true,false]");
  EXPECT_EQ(canon(R"("\b\t\n\f\r\"\\\u000b\u001f\u007f\u2028/")"),
            "\"\\b\\t\\n\\f\\r\\\"\\\\\\u000b\\u001f\x7f\xe2\x80\xa8/\"");
  // A repeated key keeps its first place with the last value.
  Json dup = parse(R"({"a":1,"b":2,"a":3})");
  EXPECT_EQ(dup.dump(), R"({"a":3,"b":2})");
  EXPECT_EQ(canon(R"({"a":1,"b":2,"a":3})"), R"({"a":3,"b":2})");
}

// A manifest is read before its signature is checked: ~200 KB of nesting, well
// inside the size the check accepts, must be written, not overflow the stack.
// (Each deep value comes last in its object here: the JSON library copies an
// object's earlier members when it adds one, and that copy recurses. The
// program therefore refuses such text before parsing it; these writers must
// still take any depth a parsed value has.)
TEST(ManifestRules, DeepNestingIsWrittenWhole) {
  constexpr std::size_t kDepth = 100'000;
  const std::string arrays = std::string(kDepth, '[') + "1" + std::string(kDepth, ']');
  const std::string text = R"({"sig":"","manifest":{"app":"corvane","version":)" + arrays + "}}";
  ASSERT_GT(text.size(), 200'000u);
  const Json doc = Json::parse(text, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  const Json& manifest = doc.at("manifest");
  EXPECT_EQ(py_str(manifest.at("version")), arrays);
  std::string out;
  canonical_json(manifest, out);
  EXPECT_EQ(out, R"({"app":"corvane","version":)" + arrays + "}");

  std::string objects, sorted;
  for (std::size_t i = 0; i < kDepth / 4; ++i) {
    objects += R"({"b":2,"a":)";
    sorted += R"({"a":)";
  }
  objects += "null" + std::string(kDepth / 4, '}');
  sorted += "null";
  for (std::size_t i = 0; i < kDepth / 4; ++i) sorted += R"(,"b":2})";
  const Json deep_objects = Json::parse(objects, nullptr, false);
  ASSERT_FALSE(deep_objects.is_discarded());
  EXPECT_EQ(py_str(deep_objects), objects);
  out.clear();
  canonical_json(deep_objects, out);
  EXPECT_EQ(out, sorted);
}

// py_int against int() and py_fromhex against bytes.fromhex() on random ASCII
// text. Vertical tab and U+001C..U+001F are left out: there the rules differ
// from python on purpose (python skips or strips them).
TEST(ManifestRules, IntAndFromHexEqualPythonOnRandomText) {
  std::mt19937_64 rng(31);
  const std::string alphabet = "0123456789abcdefABCDEF_+- \t\n\f\rxg.";
  std::vector<std::string> texts;
  for (int i = 0; i < 4000; ++i) {
    std::string t;
    std::size_t n = rng() % 12;
    for (std::size_t k = 0; k < n; ++k) {
      // Mostly digits, so that many texts are valid.
      t += rng() % 3 ? alphabet[rng() % 10] : alphabet[rng() % alphabet.size()];
    }
    texts.push_back(t);
  }
  std::string input;
  for (const auto& t : texts) input += Json(t).dump() + "\n";
  test::ScratchDir dir;
  std::string out = test::python(dir, R"(
import json, sys
for line in open(sys.argv[1]):
    t = json.loads(line)
    try:
        i = str(int(t))
    except ValueError:
        i = '-'
    try:
        h = bytes.fromhex(t).hex()
    except ValueError as e:
        h = '!' + str(e)
    print(json.dumps([i, h]))
)", input);
  std::istringstream lines(out);
  std::string line;
  for (const auto& t : texts) {
    ASSERT_TRUE(std::getline(lines, line));
    Json want = Json::parse(line);
    auto i = py_int(t);
    EXPECT_EQ(i ? i128_text(*i) : "-", want[0].get<std::string>()) << Json(t).dump();
    auto h = py_fromhex(t);
    std::string got;
    if (h) {
      for (auto b : h.value()) got += fmt_hex(b);
    } else {
      got = "!" + h.error();
    }
    EXPECT_EQ(got, want[1].get<std::string>()) << Json(t).dump();
  }
}

// ---------------------------------------------------------------------------
// Differential against python3's json.dumps(sort_keys=True,
// separators=(",", ":"), ensure_ascii=False) over random documents.

class TreeGen {
 public:
  explicit TreeGen(std::uint64_t seed) : rng_(seed) {}

  std::string doc() {
    std::string s;
    value(s, 0);
    return s;
  }

  std::string number() {
    std::string s;
    switch (rng_() % 6) {
      case 0: {  // any 64-bit integer, signed or unsigned range
        std::int64_t v = static_cast<std::int64_t>(rng_());
        s = std::to_string(v);
        break;
      }
      case 1:
        s = std::to_string(rng_());
        break;
      case 2:
        s = std::to_string(static_cast<int>(rng_() % 2000) - 1000);
        break;
      case 3: {  // any finite double, written with round-trip digits
        double d;
        do {
          std::uint64_t bits = rng_();
          std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        s = buf;
        if (s.find_first_of(".en") == std::string::npos) s += ".0";
        break;
      }
      case 4: {  // short decimals and exponents near the layout limits
        static const char* kNums[] = {"0.0", "-0.0", "1e16", "1e15", "9999999999999998.0", "0.0001",
                                      "0.00001", "1.5E-7", "123e-2", "-0", "2.5e+300", "1E22",
                                      "0.30000000000000004", "1e-320", "100.0"};
        s = kNums[rng_() % (sizeof kNums / sizeof *kNums)];
        break;
      }
      default: {
        double d = std::ldexp(static_cast<double>(rng_() % 100000), static_cast<int>(rng_() % 120) - 60);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", rng_() % 2 ? d : -d);
        s = buf;
        if (s.find_first_of(".e") == std::string::npos) s += ".0";
      }
    }
    return s;
  }

 private:
  void value(std::string& s, int depth) {
    int kind = static_cast<int>(rng_() % (depth > 4 ? 4 : 6));
    switch (kind) {
      case 0: s += rng_() % 3 == 0 ? "null" : (rng_() % 2 ? "true" : "false"); break;
      case 1: s += number(); break;
      case 2:
      case 3: string(s); break;
      case 4: {
        s += '[';
        int n = static_cast<int>(rng_() % 5);
        for (int i = 0; i < n; ++i) {
          if (i) s += rng_() % 2 ? "," : " , ";
          value(s, depth + 1);
        }
        s += ']';
        break;
      }
      default: {
        s += '{';
        int n = static_cast<int>(rng_() % 6);
        std::vector<std::string> keys;
        for (int i = 0; i < n; ++i) {
          if (i) s += ',';
          // Reuse an earlier key now and then: repeated keys.
          if (!keys.empty() && rng_() % 4 == 0) {
            s += keys[rng_() % keys.size()];
          } else {
            std::string k;
            string(k);
            keys.push_back(k);
            s += k;
          }
          s += rng_() % 2 ? ":" : " : ";
          value(s, depth + 1);
        }
        s += '}';
      }
    }
  }

  void utf8(std::string& s, char32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  void string(std::string& s) {
    s += '"';
    int n = static_cast<int>(rng_() % 8);
    for (int i = 0; i < n; ++i) {
      char buf[16];
      switch (rng_() % 10) {
        case 0: {  // escaped control characters and the short escapes
          static const char* kEsc[] = {"\\n", "\\t", "\\b", "\\f", "\\r", "\\\"", "\\\\", "\\/",
                                       "\\u0000", "\\u000b", "\\u001F", "\\u007f", "\\u2028", "\\u2029"};
          s += kEsc[rng_() % (sizeof kEsc / sizeof *kEsc)];
          break;
        }
        case 1:  // \u escape of any BMP character outside the surrogates
        {
          unsigned cp;
          do cp = static_cast<unsigned>(rng_() % 0x10000);
          while (cp >= 0xD800 && cp <= 0xDFFF);
          std::snprintf(buf, sizeof buf, "\\u%04X", cp);
          s += buf;
          break;
        }
        case 2: {  // astral character as a surrogate pair escape
          unsigned cp = 0x10000 + static_cast<unsigned>(rng_() % 0x100000);
          std::snprintf(buf, sizeof buf, "\\u%04x\\u%04x", 0xD800 + ((cp - 0x10000) >> 10),
                        0xDC00 + ((cp - 0x10000) & 0x3FF));
          s += buf;
          break;
        }
        case 3:  // raw astral character
          utf8(s, 0x10000 + static_cast<char32_t>(rng_() % 0x100000));
          break;
        case 4: {  // raw BMP character
          char32_t cp;
          do cp = 0x80 + static_cast<char32_t>(rng_() % (0x10000 - 0x80));
          while (cp >= 0xD800 && cp <= 0xDFFF);
          utf8(s, cp);
          break;
        }
        case 5:  // raw DEL and Latin-1
          utf8(s, 0x7F + static_cast<char32_t>(rng_() % 0x81));
          break;
        default:
          s += static_cast<char>((rng_() % 2 ? 'a' : 'A') + static_cast<int>(rng_() % 26));
      }
    }
    s += '"';
  }

  std::mt19937_64 rng_;
};

constexpr const char* kPythonCanon = R"(
import json, sys
out = sys.stdout.buffer
for line in open(sys.argv[1], encoding='utf-8'):
    v = json.loads(line)
    out.write(json.dumps(v, sort_keys=True, separators=(',', ':'), ensure_ascii=False).encode('utf-8'))
    out.write(b'\n')
)";

void compare_with_python(const std::vector<std::string>& docs) {
  test::ScratchDir dir;
  std::string input;
  for (const auto& d : docs) input += d + "\n";
  std::string out = test::python(dir, kPythonCanon, input);
  std::istringstream lines(out);
  std::string want;
  for (const auto& d : docs) {
    ASSERT_TRUE(std::getline(lines, want)) << d;
    Json v = Json::parse(d, nullptr, false);
    ASSERT_FALSE(v.is_discarded()) << d;
    std::string got;
    canonical_json(v, got);
    ASSERT_EQ(got, want) << "document: " << d;
    // The level-by-level text of arrays and objects is the library's own.
    if (v.is_structured()) {
      ASSERT_EQ(py_str(v), v.dump(-1, ' ', false, Json::error_handler_t::replace)) << d;
    }
  }
}

TEST(ManifestRules, CanonicalJsonEqualsPythonOnRandomTrees) {
  TreeGen gen(2024);
  std::vector<std::string> docs;
  for (int i = 0; i < 5000; ++i) docs.push_back(gen.doc());
  compare_with_python(docs);
}

TEST(ManifestRules, FloatTextEqualsPythonReprOnRandomDoubles) {
  TreeGen gen(77);
  std::vector<std::string> docs;
  for (int i = 0; i < 2000; ++i) {
    std::string d = "[";
    for (int j = 0; j < 50; ++j) {
      if (j) d += ',';
      d += gen.number();
    }
    docs.push_back(d + "]");
  }
  compare_with_python(docs);
}

}  // namespace
}  // namespace vessoria
