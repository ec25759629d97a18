// Property checks against python3, an implementation that shares nothing with
// ours: its own edit-distance table and CPython's own Unicode case tables.
#include <gtest/gtest.h>

#include <sstream>

#include "../support/python_run.h"
#include "base/text.h"
#include "detection/hud.h"

namespace corvane {
namespace {

using test::from_hex;
using test::run_python;

// Random byte strings, a full-matrix Levenshtein in python, one line per pair:
// hex(a) hex(b) distance.
constexpr const char* kEditDistanceScript = R"PY(
import random
rng = random.Random(20261210)

def lev(a, b):
    d = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        d[i][0] = i
    for j in range(len(b) + 1):
        d[0][j] = j
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
    return d[len(a)][len(b)]

def rand_bytes():
    n = rng.randint(0, 40)
    if rng.random() < 0.5:
        return bytes(rng.choice(b"ABCab\x00\xff") for _ in range(n))
    return bytes(rng.randrange(256) for _ in range(n))

for _ in range(3000):
    a = rand_bytes()
    if rng.random() < 0.3:
        # a near copy of a: a few edits
        b = bytearray(a)
        for _ in range(rng.randint(0, 4)):
            op = rng.randrange(3)
            if op == 0 and b:
                del b[rng.randrange(len(b))]
            elif op == 1:
                b.insert(rng.randint(0, len(b)), rng.randrange(256))
            elif b:
                b[rng.randrange(len(b))] = rng.randrange(256)
        b = bytes(b)
    else:
        b = rand_bytes()
    print(a.hex() or "-", b.hex() or "-", lev(a, b))
)PY";

TEST(HudPython, EditDistanceMatchesIndependentImplementation) {
    std::istringstream in(run_python(kEditDistanceScript));
    std::string ha, hb;
    size_t want, n = 0;
    while (in >> ha >> hb >> want) {
        const std::string a = ha == "-" ? "" : from_hex(ha);
        const std::string b = hb == "-" ? "" : from_hex(hb);
        ASSERT_EQ(hud_edit_distance(a, b), want) << ha << " " << hb;
        ++n;
    }
    EXPECT_EQ(n, 3000u);
}

// Random Unicode text: mostly scripts with case (including the special cases
// that grow, such as ß, ŉ, ǰ, ﬁ, İ, and Greek sigma in every position), plus any
// assigned character. One line per text: hex of text, str.lower, str.upper and
// the capitalised word (first character upper, the rest lower in context).
constexpr const char* kCaseScript = R"PY(
import random, unicodedata
rng = random.Random(7)
ranges = [(0x41, 0x7A), (0xC0, 0x24F), (0x370, 0x3FF), (0x1F00, 0x1FFF), (0x400, 0x52F),
          (0x531, 0x587), (0x10A0, 0x10FF), (0x13A0, 0x13FF), (0x1E00, 0x1EFF),
          (0x2C00, 0x2C7F), (0xFB00, 0xFB17), (0xFF21, 0xFF5A), (0x10400, 0x1044F),
          (0x1E900, 0x1E95F)]
special = "ßŉǰΐΰİıΣσςﬁﬀﬗẞ \u0301\u0345'.-"

def assigned(cp):
    if 0xD800 <= cp <= 0xDFFF:
        return False
    return unicodedata.category(chr(cp)) not in ("Cn", "Cs", "Co")

def one_char():
    r = rng.random()
    if r < 0.2:
        return rng.choice(special)
    if r < 0.9:
        lo, hi = rng.choice(ranges)
    else:
        lo, hi = 0x20, 0x2FFFF
    while True:
        cp = rng.randint(lo, hi)
        if assigned(cp):
            return chr(cp)

for _ in range(4000):
    t = "".join(one_char() for _ in range(rng.randint(1, 12)))
    cap = t[0].upper() + t.lower()[len(t[0].lower()):]
    print(t.encode().hex(), t.lower().encode().hex(), t.upper().encode().hex(), cap.encode().hex())
)PY";

TEST(HudPython, CaseMappingMatchesPython) {
    std::istringstream in(run_python(kCaseScript));
    std::string ht, hl, hu, hc;
    size_t n = 0, bad = 0;
    while (in >> ht >> hl >> hu >> hc) {
        const std::string t = from_hex(ht);
        ++n;
        // Report every mismatch but keep the output bounded.
        if (utf8_lower(t) != from_hex(hl) || utf8_upper(t) != from_hex(hu) ||
            text_capitalize(t) != from_hex(hc)) {
            if (++bad <= 10)
                ADD_FAILURE() << "text " << ht << ": lower " << test::to_hex(utf8_lower(t))
                              << " want " << hl << ", upper " << test::to_hex(utf8_upper(t))
                              << " want " << hu << ", capitalised "
                              << test::to_hex(text_capitalize(t)) << " want " << hc;
        }
    }
    EXPECT_EQ(n, 4000u);
    EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace corvane
