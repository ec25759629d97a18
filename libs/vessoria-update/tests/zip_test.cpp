#include "zip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "test_util.h"

namespace vessoria {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes zlib_deflate(const Bytes& in, int level, int strategy = Z_DEFAULT_STRATEGY, int window_bits = -15,
                   int mem_level = 8) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, window_bits, mem_level, strategy), Z_OK);
  Bytes out(deflateBound(&zs, in.size()) + 64);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// zlib's raw inflate with an output cap; nullopt unless it reaches the end
// of the stream.
std::optional<Bytes> zlib_inflate(const Bytes& in, std::size_t cap) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return std::nullopt;
  // The output grows as it comes: a fresh buffer of the whole cap for every
  // call cost the sanitizer builds minutes of clearing and page faults.
  Bytes out;
  std::uint8_t chunk[16384];
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t got = sizeof chunk - zs.avail_out;
    if (out.size() + got > cap) {
      rc = Z_BUF_ERROR;
      break;
    }
    out.insert(out.end(), chunk, chunk + got);
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

std::map<std::string, Bytes> sample_inputs() {
  std::map<std::string, Bytes> m;
  m["zeros"] = Bytes(50000, 0);
  std::mt19937 rng(3);
  Bytes random(50000);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  m["random"] = random;
  std::string text;
  const char* words[] = {"clip ", "partida ", "baja ", "muerte ", "derribo ", "grabación\n", "él ", "niño "};
  while (text.size() < 50000) text += words[rng() % 8];
  m["text"] = to_bytes(text);
  // Something binary with structure: this test program itself.
  std::string self = test::read_file("/proc/self/exe");
  m["binary"] = to_bytes(self.substr(0, std::min<std::size_t>(self.size(), 50000)));
  m["empty"] = {};
  return m;
}

TEST(Inflate, EqualsZlibOverLevelsStrategiesAndWindows) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const auto& [name, input] : sample_inputs()) {
    for (int level = 0; level <= 9; ++level)
      for (int strategy : strategies)
        for (int wbits = -15; wbits <= -9; ++wbits) {
          // Every memory level shows up across the combinations.
          const int mem = 1 + (level - wbits + strategy) % 9;
          Bytes packed = zlib_deflate(input, level, strategy, wbits, mem);
          auto r = vessoria::inflate(packed, input.size());
          ASSERT_TRUE(r) << name << " level " << level << " strategy " << strategy << ": " << r.error();
          ASSERT_TRUE(r.value() == input) << name << " level " << level << " strategy " << strategy
                                         << " window " << wbits << " mem " << mem;
        }
  }
}

// Bounded mutation fuzz: whenever zlib decodes a damaged stream to its end,
// ours gives the same bytes; otherwise ours may fail, but cleanly.
TEST(Inflate, MutatedStreamsNeverDifferFromZlib) {
  std::mt19937_64 rng(42);
  auto inputs = sample_inputs();
  std::vector<Bytes> bases;
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const auto& [name, input] : inputs) {
    Bytes small(input.begin(), input.begin() + std::min<std::size_t>(input.size(), 3000));
    for (int level : {0, 1, 6, 9})
      for (int strategy : strategies) bases.push_back(zlib_deflate(small, level, strategy));
  }
  int agreed = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes s = bases[rng() % bases.size()];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      std::size_t at = rng() % s.size();
      switch (rng() % 4) {
        case 0: s[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
        case 1: s[at] = static_cast<std::uint8_t>(rng()); break;
        case 2: s.resize(at); break;
        default: s.insert(s.begin() + static_cast<long>(at), static_cast<std::uint8_t>(rng()));
      }
    }
    const std::size_t cap = 1 << 20;
    auto ours = vessoria::inflate(s, 4096, cap);
    auto ref = zlib_inflate(s, cap);
    if (ref) {
      ASSERT_TRUE(ours) << "case " << i << ": " << ours.error();
      ASSERT_TRUE(ours.value() == *ref) << "case " << i;
      ++agreed;
    } else if (!ours) {
      const std::string& err = ours.error();
      ASSERT_TRUE(err.rfind("Error -3 while decompressing data: ", 0) == 0 || err == kInflateOverLimit) << err;
    }
  }
  EXPECT_GT(agreed, 1000);
}

// Writes bits least significant first, Huffman codes most significant first.
struct BitWriter {
  Bytes out;
  int used = 8;
  void put(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
      if (used == 8) {
        out.push_back(0);
        used = 0;
      }
      out.back() = static_cast<std::uint8_t>(out.back() | (((v >> i) & 1) << used));
      ++used;
    }
  }
  void code(std::uint32_t c, int len) {
    for (int i = len - 1; i >= 0; --i) put((c >> i) & 1, 1);
  }
  // Fixed-code literal/length symbol.
  void fixed(int sym) {
    if (sym < 144) code(0x30 + sym, 8);
    else if (sym < 256) code(0x190 + sym - 144, 9);
    else if (sym < 280) code(sym - 256, 7);
    else code(0xC0 + sym - 280, 8);
  }
};

TEST(Inflate, ErrorTexts) {
  const std::string p = "Error -3 while decompressing data: ";
  struct Case {
    const char* what;
    Bytes stream;
    std::string error;
  };
  std::vector<Case> cases;
  cases.push_back({"stored lengths", {0x01, 0x05, 0x00, 0x00, 0x00, 'a'}, p + "invalid stored block lengths"});
  cases.push_back({"block type 3", {0x07}, p + "invalid block type"});
  cases.push_back({"empty", {}, p + "datos incompletos"});
  Bytes full = zlib_deflate(to_bytes("hola hola hola hola, partida"), 9);
  cases.push_back({"truncated", Bytes(full.begin(), full.end() - 2), p + "datos incompletos"});
  cases.push_back({"stored short", {0x01, 0x05, 0x00, 0xfa, 0xff, 'a'}, p + "datos incompletos"});
  {
    BitWriter w;  // a match before any output
    w.put(1, 1);
    w.put(1, 2);
    w.fixed(257);
    w.code(0, 5);
    w.fixed(256);
    cases.push_back({"too far", w.out, p + "invalid distance too far back"});
  }
  {
    BitWriter w;  // one literal, then a distance of 2
    w.put(1, 1);
    w.put(1, 2);
    w.fixed('a');
    w.fixed(257);
    w.code(1, 5);
    w.fixed(256);
    cases.push_back({"too far by one", w.out, p + "invalid distance too far back"});
  }
  {
    BitWriter w;  // length symbol 286 exists only in the fixed code's table
    w.put(1, 1);
    w.put(1, 2);
    w.fixed(286);
    cases.push_back({"length 286", w.out, p + "invalid code"});
  }
  {
    BitWriter w;  // distance symbol 30
    w.put(1, 1);
    w.put(1, 2);
    w.fixed('a');
    w.fixed(257);
    w.code(30, 5);
    w.put(0, 16);  // the walk goes on to 15 bits before it gives up
    cases.push_back({"distance 30", w.out, p + "invalid code"});
  }
  {
    BitWriter w;  // dynamic: repeat-previous as the very first length
    w.put(1, 1);
    w.put(2, 2);
    w.put(0, 5);
    w.put(0, 5);
    w.put(0, 4);                                        // four code-length lengths: 16, 17, 18, 0
    w.put(1, 3), w.put(0, 3), w.put(0, 3), w.put(1, 3);  // 16 -> code 1, 0 -> code 0
    w.code(1, 1);
    w.put(0, 2);
    cases.push_back({"repeat first", w.out, p + "invalid code"});
  }
  {
    BitWriter w;  // dynamic: zero runs past HLIT + HDIST
    w.put(1, 1);
    w.put(2, 2);
    w.put(0, 5);
    w.put(0, 5);
    w.put(0, 4);
    w.put(0, 3), w.put(0, 3), w.put(1, 3), w.put(1, 3);  // 18 -> code 1, 0 -> code 0
    w.code(1, 1);
    w.put(127, 7);
    w.code(1, 1);
    w.put(127, 7);
    cases.push_back({"run past end", w.out, p + "invalid code"});
  }
  {
    BitWriter w;  // dynamic: a code-length code with no codes at all
    w.put(1, 1);
    w.put(2, 2);
    w.put(0, 5);
    w.put(0, 5);
    w.put(0, 4);
    w.put(0, 12);
    w.put(0, 16);
    cases.push_back({"no codes", w.out, p + "invalid code"});
  }
  for (const auto& c : cases) {
    auto r = vessoria::inflate(c.stream, 100);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what;
  }

  // Accepted: a stored block, then an overlapping match repeating a pattern.
  BitWriter w;
  w.put(1, 1);
  w.put(1, 2);
  w.fixed('a');
  w.fixed('b');
  w.fixed(258);  // length 4
  w.code(1, 5);  // distance 2
  w.fixed(256);
  auto r = vessoria::inflate(w.out, 0);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(std::string(r.value().begin(), r.value().end()), "ababab");
}

TEST(Inflate, OutputLimit) {
  Bytes big(1 << 20, 'x');
  Bytes packed = zlib_deflate(big, 9);
  auto exact = vessoria::inflate(packed, 10, big.size());
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact.value().size(), big.size());
  auto over = vessoria::inflate(packed, 10, big.size() - 1);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), kInflateOverLimit);
  Bytes stored = zlib_deflate(Bytes(5000, 'y'), 0);
  EXPECT_FALSE(vessoria::inflate(stored, 0, 4999));
  EXPECT_TRUE(vessoria::inflate(stored, 0, 5000));
}

TEST(Crc32, EqualsZlib) {
  std::mt19937 rng(9);
  Bytes data(1 << 20);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  for (std::size_t len : {0, 1, 2, 3, 7, 64, 1000, 4097, 1 << 20}) {
    std::span<const std::uint8_t> s(data.data(), len);
    EXPECT_EQ(zip_crc32(s), crc32(0, data.data(), static_cast<uInt>(len))) << len;
  }
  EXPECT_EQ(zip_crc32(to_bytes("123456789")), 0xCBF43926u);
}

// ---------------------------------------------------------------------------
// Archives.

struct ZEntry {
  ZEntry(std::string n, std::string d, std::uint16_t m = 8, std::uint16_t f = 0)
      : name(std::move(n)), data(std::move(d)), method(m), flags(f) {}
  std::string name;
  std::string data;
  std::uint16_t method;
  std::uint16_t flags;
  std::uint16_t made_by = 0x031e;  // Unix, version 3.0
  std::uint32_t mode = 0100644;
  std::optional<std::uint32_t> crc;
  std::optional<std::uint32_t> usize;
  std::optional<Bytes> raw;  // compressed data as stored
};

void le16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>((v >> 8) & 0xff);
}
void le32(std::string& s, std::uint32_t v) {
  le16(s, v & 0xffff);
  le16(s, v >> 16);
}

std::string build_zip(const std::vector<ZEntry>& entries, const std::string& comment = "") {
  std::string out, central;
  for (const auto& e : entries) {
    Bytes data = to_bytes(e.data);
    Bytes packed = e.raw ? *e.raw : (e.method == 8 ? zlib_deflate(data, 6) : data);
    std::uint32_t crc = e.crc ? *e.crc : static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    std::uint32_t usize = e.usize ? *e.usize : static_cast<std::uint32_t>(data.size());
    std::uint32_t offset = static_cast<std::uint32_t>(out.size());
    le32(out, 0x04034b50);
    le16(out, 20), le16(out, e.flags), le16(out, e.method), le16(out, 0), le16(out, 0);
    le32(out, crc), le32(out, static_cast<std::uint32_t>(packed.size())), le32(out, usize);
    le16(out, static_cast<unsigned>(e.name.size())), le16(out, 0);
    out += e.name;
    out.append(packed.begin(), packed.end());
    le32(central, 0x02014b50);
    le16(central, e.made_by), le16(central, 20), le16(central, e.flags), le16(central, e.method);
    le16(central, 0), le16(central, 0);
    le32(central, crc), le32(central, static_cast<std::uint32_t>(packed.size())), le32(central, usize);
    le16(central, static_cast<unsigned>(e.name.size())), le16(central, 0), le16(central, 0);
    le16(central, 0), le16(central, 0), le32(central, e.mode << 16), le32(central, offset);
    central += e.name;
  }
  std::uint32_t dir = static_cast<std::uint32_t>(out.size());
  out += central;
  le32(out, 0x06054b50);
  le16(out, 0), le16(out, 0), le16(out, static_cast<unsigned>(entries.size())),
      le16(out, static_cast<unsigned>(entries.size()));
  le32(out, static_cast<std::uint32_t>(central.size())), le32(out, dir);
  le16(out, static_cast<unsigned>(comment.size()));
  out += comment;
  return out;
}

// Relative path -> (content, permission bits) of every file below root.
std::map<std::string, std::pair<std::string, unsigned>> tree(const fs::path& root) {
  std::map<std::string, std::pair<std::string, unsigned>> m;
  if (!fs::exists(root)) return m;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_directory()) continue;
    struct stat st {};
    lstat(e.path().c_str(), &st);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path();
    m[fs::relative(e.path(), root).string()] = {test::read_file(e.path()), st.st_mode & 0777};
  }
  return m;
}

ZEntry raw_entry(std::string name, Bytes raw) {
  ZEntry e(std::move(name), "");
  e.raw = std::move(raw);
  return e;
}

class ZipExtract : public ::testing::Test {
 protected:
  test::ScratchDir dir;
  fs::path dest() const { return dir / "nuevo"; }
  Result<std::size_t> extract(const std::string& archive, const ZipLimits& limits = {}) {
    fs::path p = dir / "pkg.zip";
    test::write_file(p, archive);
    return zip_extract(p, dest(), limits);
  }
  void put_marker() { test::write_file(dest() / "marker", "previo"); }
  bool marker_intact() { return test::read_file(dest() / "marker") == "previo"; }
};

TEST_F(ZipExtract, SelectsFilesUnderTheTopFolder) {
  std::vector<ZEntry> entries = {
      {"Corvane/", ""},
      {"Corvane/readme.txt", "hola"},
      {"Corvane/data/config.ini", "x"},
      {"Corvane/DATA/x", "x"},
      {"Corvane/Tools/x.exe", "x"},
      {"Corvane/sub/data/x", "dentro"},
      {"Corvane\\win\\f.txt", "barras"},
      {"Corvane/a//b", "doble"},
      {"Other/x.txt", "fuera"},
      {"corvane/y.txt", "minúsculas"},
      {"Corvane/stored.bin", std::string(1000, 's'), 0},
      {"Corvane/\x81.txt", "cp437"},
      {"Corvane/\xc3\xb1" "and\xc3\xba.txt", "utf8", 8, 0x800},
      {"Corvane/bad\xff.txt", "lossy", 8, 0x800},
      {"Corvane/nul\0hidden", "nul"},
  };
  entries.back().name = std::string("Corvane/nul\0hidden", 18);
  put_marker();
  auto r = extract(build_zip(entries, std::string(100, 'c')));
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r.value(), 9u);
  auto t = tree(dest());
  std::map<std::string, std::string> want = {
      {"readme.txt", "hola"},           {"sub/data/x", "dentro"},   {"win/f.txt", "barras"},
      {"a/b", "doble"},                 {"stored.bin", std::string(1000, 's')},
      {"\xc3\xbc.txt", "cp437"},        {"\xc3\xb1" "and\xc3\xba.txt", "utf8"},
      {"bad\xef\xbf\xbd.txt", "lossy"}, {"nul", "nul"},
  };
  ASSERT_EQ(t.size(), want.size());
  for (const auto& [path, content] : want) EXPECT_EQ(t[path].first, content) << path;
  EXPECT_FALSE(fs::exists(dest() / "marker"));  // the destination was emptied first
}

TEST_F(ZipExtract, RefusedPathsLeaveTheDestinationAlone) {
  for (const char* name : {"Corvane/../evil.exe", "Corvane/a/./b", "Corvane/C:x", "Corvane//abs", "Corvane/a/.."}) {
    put_marker();
    auto r = extract(build_zip({{"Corvane/ok.txt", "ok"}, {name, "x"}}));
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error(), std::string("ruta no permitida en el paquete: ") + name);
    EXPECT_TRUE(marker_intact()) << name;
    EXPECT_FALSE(fs::exists(dest() / "ok.txt")) << name;
  }
  // Backslashes are folded before the check, and the text shows slashes.
  auto r = extract(build_zip({{"Corvane\\..\\evil.exe", "x"}}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "ruta no permitida en el paquete: Corvane/../evil.exe");
}

TEST_F(ZipExtract, ArchiveFaults) {
  auto base = build_zip({{"Corvane/a.txt", "contenido"}});
  auto patched = [&](std::size_t at, std::uint32_t v, int width) {
    std::string s = base;
    for (int i = 0; i < width; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
  };
  const std::size_t eocd = base.size() - 22;
  const std::size_t central = static_cast<std::uint8_t>(base[eocd + 16]) | (static_cast<std::uint8_t>(base[eocd + 17]) << 8);
  struct Case {
    const char* what;
    std::string archive;
    std::string error;
  } cases[] = {
      {"short", "PK\x05\x06", "File is not a zip file"},
      {"no end record", std::string(200, 'x'), "File is not a zip file"},
      {"zip64 count", patched(eocd + 10, 0xFFFF, 2), "zip64 no soportado"},
      {"zip64 offset", patched(eocd + 16, 0xFFFFFFFF, 4), "zip64 no soportado"},
      {"zip64 size", patched(central + 20, 0xFFFFFFFF, 4), "zip64 no soportado"},
      {"central magic", patched(central, 0x02014b51, 4), "Bad magic number for central directory"},
      {"central past end", patched(eocd + 16, static_cast<std::uint32_t>(base.size() + 10), 4),
       "Bad magic number for central directory"},
      {"name past end", patched(central + 28, 0xFFFF, 2), "File is not a zip file"},
      {"local magic", patched(0, 0x04034b51, 4), "Bad magic number for file header"},
      {"data past end", patched(central + 20, 0x00FFFFFF, 4), "File is not a zip file"},
      {"local extra past end", patched(28, 0xFFFF, 2), "File is not a zip file"},
      {"encrypted", patched(central + 8, 1, 2), "File 'Corvane/a.txt' is encrypted, password required for extraction"},
      {"bzip2", patched(central + 10, 12, 2), "compression type 12"},
      {"crc", patched(central + 16, 0x12345678, 4), "Bad CRC-32 for file 'Corvane/a.txt'"},
      {"no top folder", build_zip({{"Corvane/", ""}, {"Other/x.txt", "x"}}), "el paquete no trae la carpeta Corvane"},
      {"only data", build_zip({{"Corvane/data/x", "x"}}), "el paquete no trae la carpeta Corvane"},
      {"deflate error", build_zip({raw_entry("Corvane/x", Bytes{0x07})}),
       "Error -3 while decompressing data: invalid block type"},
  };
  for (const auto& c : cases) {
    auto r = extract(c.archive);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what;
  }
  auto missing = zip_extract(dir / "no-such.zip", dest());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory");
}

TEST_F(ZipExtract, BadCrcKeepsEarlierFiles) {
  ZEntry bad{"Corvane/b.txt", "segundo"};
  bad.crc = 1;
  auto r = extract(build_zip({{"Corvane/a.txt", "primero"}, bad, {"Corvane/c.txt", "tercero"}}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Bad CRC-32 for file 'Corvane/b.txt'");
  EXPECT_EQ(test::read_file(dest() / "a.txt"), "primero");
  EXPECT_FALSE(fs::exists(dest() / "c.txt"));
}

TEST_F(ZipExtract, BombsAreStoppedAtTheDeclaredAndTotalSizes) {
  // 64 MiB of zeros declared as 1000 bytes: stopped at the declared size.
  ZEntry bomb{"Corvane/bomba.bin", std::string(64 << 20, '\0')};
  bomb.usize = 1000;
  auto r = extract(build_zip({bomb}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Bad CRC-32 for file 'Corvane/bomba.bin'");
  ZEntry stored{"Corvane/s.bin", std::string(5000, 's'), 0};
  stored.usize = 10;
  r = extract(build_zip({stored}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Bad CRC-32 for file 'Corvane/s.bin'");

  // Whole-package caps, checked before the destination is touched.
  put_marker();
  ZipLimits limits;
  limits.max_total_bytes = 1000;
  r = extract(build_zip({{"Corvane/a", std::string(600, 'a')}, {"Corvane/b", std::string(600, 'b')}}), limits);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "el paquete supera el límite de 1000 bytes descomprimidos");
  EXPECT_TRUE(marker_intact());
  limits = {};
  limits.max_entries = 2;
  r = extract(build_zip({{"Corvane/a", "1"}, {"Corvane/b", "2"}, {"Corvane/c", "3"}}), limits);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "el paquete supera el límite de 2 entradas");
  EXPECT_TRUE(marker_intact());
}

TEST_F(ZipExtract, ModesAndLinks) {
  ZEntry exe{"Corvane/bin/corvane", "#!/bin/sh\n"};
  exe.mode = 0100755;
  ZEntry wide{"Corvane/setuid", "x"};
  wide.mode = 0104777;
  ZEntry dos{"Corvane/dos.txt", "x"};
  dos.made_by = 0x0014;
  dos.mode = 0;
  ZEntry link{"Corvane/enlace", "/etc/passwd", 0};
  link.mode = 0120777;
  // The destination itself is a link to a folder that must not be written.
  fs::create_directories(dir / "elsewhere");
  test::write_file(dir / "elsewhere" / "keep", "k");
  fs::create_directory_symlink(dir / "elsewhere", dest());
  auto r = extract(build_zip({exe, wide, dos, link}));
  ASSERT_TRUE(r) << r.error();
  auto t = tree(dest());
  EXPECT_EQ(t["bin/corvane"].second, 0755u);
  EXPECT_EQ(t["setuid"].second, 0755u);
  EXPECT_EQ(t["dos.txt"].second & 0111u, 0u);
  EXPECT_EQ(t["enlace"].first, "/etc/passwd");  // a plain file, never a link
  EXPECT_FALSE(fs::is_symlink(dest()));
  EXPECT_EQ(tree(dir / "elsewhere").size(), 1u);
}

// Packages made by the usual tools extract to the same tree as unzip's.
TEST_F(ZipExtract, EqualsUnzipOnPackagesFromZipAndPython) {
  fs::path src = dir / "src";
  std::mt19937 rng(1);
  std::string random(300000, '\0');
  for (auto& c : random) c = static_cast<char>(rng());
  test::write_file(src / "Corvane/readme.txt", "Léeme: versión nueva\n");
  test::write_file(src / "Corvane/big.bin", random);
  test::write_file(src / "Corvane/zeros.bin", std::string(1 << 20, '\0'));
  test::write_file(src / "Corvane/sub/data/x.txt", "dentro de sub");
  test::write_file(src / "Corvane/data/config.ini", "[no]");
  test::write_file(src / "Corvane/Tools/t.exe", "no");
  test::write_file(src / "Corvane/\xc3\xb1" "and\xc3\xba.txt", "ñ");
  test::write_file(src / "Corvane/empty.txt", "");
  test::write_file(src / "Corvane/bin/corvane", "#!/bin/sh\necho hola\n");
  test::write_file(src / "Other/x.txt", "fuera");
  fs::permissions(src / "Corvane/bin/corvane", fs::perms(0755));
  fs::create_directories(src / "Corvane/vacía");

  std::vector<std::pair<std::string, fs::path>> packages;
  for (const char* level : {"-0", "-1", "-9"}) {
    fs::path pkg = dir / (std::string("infozip") + level + ".zip");
    ASSERT_EQ(test::run({"sh", "-c", "cd '" + src.string() + "' && zip -q -r " + level + " '" + pkg.string() +
                                         "' Corvane Other"}),
              0);
    packages.emplace_back(level, pkg);
  }
  fs::path py = dir / "python.zip";
  test::write_file(dir / "mk.py", R"(
import os, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, 'w') as z:
    n = 0
    for root, dirs, files in sorted(os.walk(src)):
        for f in sorted(files):
            p = os.path.join(root, f)
            method = zipfile.ZIP_STORED if n % 3 == 0 else zipfile.ZIP_DEFLATED
            z.write(p, os.path.relpath(p, src), compress_type=method, compresslevel=1 + n % 9)
            n += 1
)");
  ASSERT_EQ(test::run({"python3", (dir / "mk.py").string(), src.string(), py.string()}), 0);
  packages.emplace_back("python", py);

  for (const auto& [what, pkg] : packages) {
    fs::path ref = dir / ("unzip-" + what);
    ASSERT_EQ(test::run({"unzip", "-q", "-o", pkg.string(), "-d", ref.string()}), 0) << what;
    auto want = tree(ref / "Corvane");
    for (auto it = want.begin(); it != want.end();) {
      std::string first = it->first.substr(0, it->first.find('/'));
      it = (first == "data" || first == "Tools") ? want.erase(it) : std::next(it);
    }
    // Info-ZIP stores this system's UTF-8 names without the UTF-8 flag and
    // unzip writes the bytes back unchanged; an unflagged name is CP437 to
    // us, so the file gets the CP437 reading of those bytes.
    if (what != "python") {
      auto node = want.extract("\xc3\xb1" "and\xc3\xba.txt");
      ASSERT_FALSE(node.empty());
      node.key() = "\xe2\x94\x9c\xe2\x96\x92" "and\xe2\x94\x9c\xe2\x95\x91.txt";
      want.insert(std::move(node));
    }
    auto r = zip_extract(pkg, dest());
    ASSERT_TRUE(r) << what << ": " << r.error();
    EXPECT_EQ(r.value(), want.size()) << what;
    auto got = tree(dest());
    ASSERT_EQ(got.size(), want.size()) << what;
    for (const auto& [path, file] : want) {
      ASSERT_TRUE(got.count(path)) << what << " " << path;
      EXPECT_TRUE(got[path].first == file.first) << what << " " << path;
      EXPECT_EQ(got[path].second, file.second & 0755u) << what << " " << path;
    }
    EXPECT_EQ(got["bin/corvane"].second, 0755u) << what;
  }
}

}  // namespace
}  // namespace vessoria

namespace vessoria {
namespace {

// The lookup table must change speed only: on any code, complete or not,
// over-subscribed or empty, it decodes exactly what the bit-by-bit walk
// decodes, including where the walk fails.
TEST(Huffman, LookupEqualsBitSerialWalkOnAnyCode) {
  std::mt19937_64 rng(8);
  for (int round = 0; round < 3000; ++round) {
    std::size_t n = 2 + rng() % 300;
    Bytes lengths(n);
    int max_len = 1 + static_cast<int>(rng() % 15);
    for (auto& l : lengths) l = rng() % 3 == 0 ? 0 : static_cast<std::uint8_t>(1 + rng() % max_len);
    Bytes data(48);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
    int fast_bits = 1 + static_cast<int>(rng() % 11);
    HuffmanTable slow = huffman_build(lengths), fast = huffman_build(lengths, fast_bits);
    std::size_t bit = 0;
    for (int k = 0; k < 400; ++k) {
      auto a = huffman_decode(data, bit, slow);
      auto b = huffman_decode(data, bit, fast);
      ASSERT_EQ(a.ok(), b.ok()) << "round " << round << " bit " << bit;
      if (!a) {
        ASSERT_EQ(a.error(), b.error());
        break;
      }
      ASSERT_EQ(a.value().symbol, b.value().symbol) << "round " << round << " bit " << bit;
      ASSERT_EQ(a.value().bits, b.value().bits);
      bit += static_cast<std::size_t>(a.value().bits);
    }
  }
  // A hand-checked over-subscribed code: three symbols of length 1. The walk
  // takes bit 0 -> first symbol, bit 1 -> second; the third is unreachable.
  HuffmanTable t = huffman_build(Bytes{1, 1, 1}, 4);
  Bytes bits = {0b10};
  EXPECT_EQ(huffman_decode(bits, 0, t).value().symbol, 0);
  EXPECT_EQ(huffman_decode(bits, 1, t).value().symbol, 1);
  EXPECT_EQ(huffman_decode(Bytes{}, 0, t).error(), "datos incompletos");
  EXPECT_EQ(huffman_decode(Bytes{0, 0}, 0, huffman_build(Bytes{0, 0})).error(), "invalid code");
}

}  // namespace
}  // namespace vessoria
