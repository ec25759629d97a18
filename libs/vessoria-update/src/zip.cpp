#include "zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>

#include <fmt/format.h>

namespace vessoria {
namespace {

constexpr const char* kTopFolder = "Corvane";

std::uint32_t g_crc_table[256];
std::once_flag g_crc_once;

std::string sys_error(int err) { return std::system_category().message(err); }

using Bytes = std::span<const std::uint8_t>;

std::uint16_t u16(Bytes b, std::uint64_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }
std::uint32_t u32(Bytes b, std::uint64_t at) {
  return std::uint32_t(b[at]) | (std::uint32_t(b[at + 1]) << 8) | (std::uint32_t(b[at + 2]) << 16) |
         (std::uint32_t(b[at + 3]) << 24);
}

constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-8 with each maximal ill-formed subpart replaced by one U+FFFD.
std::string utf8_lossy(Bytes b) {
  std::string out;
  std::size_t i = 0;
  while (i < b.size()) {
    std::uint8_t c = b[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    int need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { need = 1; cp = c & 0x1F; }
    else if (c == 0xE0) { need = 2; cp = c & 0x0F; lo = 0xA0; }
    else if (c == 0xED) { need = 2; cp = c & 0x0F; hi = 0x9F; }
    else if (c >= 0xE1 && c <= 0xEF) { need = 2; cp = c & 0x0F; }
    else if (c == 0xF0) { need = 3; cp = c & 0x07; lo = 0x90; }
    else if (c == 0xF4) { need = 3; cp = c & 0x07; hi = 0x8F; }
    else if (c >= 0xF1 && c <= 0xF3) { need = 3; cp = c & 0x07; }
    else {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    int got = 0;
    while (got < need && j < b.size()) {
      std::uint8_t cc = b[j];
      if (cc < lo || cc > hi) break;
      cp = (cp << 6) | (cc & 0x3F);
      lo = 0x80;
      hi = 0xBF;
      ++j;
      ++got;
    }
    if (got == need) append_utf8(out, cp);
    else out += "\xEF\xBF\xBD";
    i = j;
  }
  return out;
}

std::string cp437_decode(Bytes b) {
  std::string out;
  for (std::uint8_t c : b) append_utf8(out, c < 0x80 ? char32_t(c) : char32_t(kCp437High[c - 0x80]));
  return out;
}

struct EntryRecord {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t csize = 0, usize = 0, header_offset = 0;
  std::uint16_t made_by = 0;
  std::uint32_t external = 0;
};

struct Selected {
  std::size_t index;
  std::vector<std::string> pieces;
};

std::string ascii_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

using SizeResult = Result<std::size_t>;

// Opens (creating when missing) each folder of `pieces` below the open folder
// `dirfd`, never following a link. Returns the last folder's descriptor.
int open_dirs(int dirfd, const std::vector<std::string>& pieces, std::size_t count, int& err) {
  int fd = dup(dirfd);
  for (std::size_t i = 0; i < count && fd >= 0; ++i) {
    const char* name = pieces[i].c_str();
    if (mkdirat(fd, name, 0755) != 0 && errno != EEXIST) {
      err = errno;
      close(fd);
      return -1;
    }
    int next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) err = errno;
    close(fd);
    fd = next;
  }
  if (fd < 0 && err == 0) err = errno;
  return fd;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n, int& err) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

void crc32_table_init() {
  std::call_once(g_crc_once, [] {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      g_crc_table[n] = c;
    }
  });
}

std::uint32_t zip_crc32(std::span<const std::uint8_t> bytes) {
  crc32_table_init();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) c = g_crc_table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

Result<std::size_t> zip_extract(const std::filesystem::path& archive, const std::filesystem::path& dest,
                                const ZipLimits& limits) {
  int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return SizeResult::failure(sys_error(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return SizeResult::failure(sys_error(e));
  }
  // A package holds its data once compressed; anything larger than the
  // whole uncompressed cap cannot be a package we would accept.
  if (static_cast<std::uint64_t>(st.st_size) > limits.max_total_bytes) {
    close(fd);
    return SizeResult::failure(
        fmt::format("el paquete supera el límite de {} bytes descomprimidos", limits.max_total_bytes));
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t r = read(fd, data.data() + got, data.size() - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      return SizeResult::failure(sys_error(e));
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fd);
  data.resize(got);
  return zip_extract_bytes(data, dest, limits);
}

Result<std::size_t> zip_extract_bytes(std::span<const std::uint8_t> a, const std::filesystem::path& dest,
                                      const ZipLimits& limits) {
  const std::uint64_t size = a.size();
  auto not_zip = [] { return SizeResult::failure("File is not a zip file"); };
  auto zip64 = [] { return SizeResult::failure("zip64 no soportado"); };
  if (size < 22) return not_zip();

  // End record: searched backwards, so a trailing comment is skipped.
  std::uint64_t lowest = size > 65557 ? size - 65557 : 0;
  std::uint64_t eocd = ~std::uint64_t(0);
  for (std::uint64_t at = size - 22 + 1; at-- > lowest;) {
    if (u32(a, at) == 0x06054b50) {
      eocd = at;
      break;
    }
  }
  if (eocd == ~std::uint64_t(0)) return not_zip();
  std::uint16_t count = u16(a, eocd + 10);
  std::uint32_t dir_offset = u32(a, eocd + 16);
  if (count == 0xFFFF || dir_offset == 0xFFFFFFFF) return zip64();
  if (count > limits.max_entries)
    return SizeResult::failure(fmt::format("el paquete supera el límite de {} entradas", limits.max_entries));

  std::vector<EntryRecord> entries;
  entries.reserve(count);
  std::uint64_t pos = dir_offset;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (pos + 4 > size || u32(a, pos) != 0x02014b50)
      return SizeResult::failure("Bad magic number for central directory");
    if (pos + 46 > size) return not_zip();
    EntryRecord e;
    e.made_by = u16(a, pos + 4);
    e.flags = u16(a, pos + 8);
    e.method = u16(a, pos + 10);
    e.crc = u32(a, pos + 16);
    std::uint32_t csize = u32(a, pos + 20), usize = u32(a, pos + 24), off = u32(a, pos + 42);
    std::uint16_t name_len = u16(a, pos + 28), extra_len = u16(a, pos + 30), comment_len = u16(a, pos + 32);
    e.external = u32(a, pos + 38);
    if (pos + 46 + name_len > size) return not_zip();
    if (csize == 0xFFFFFFFF || usize == 0xFFFFFFFF || off == 0xFFFFFFFF) return zip64();
    e.csize = csize;
    e.usize = usize;
    e.header_offset = off;
    Bytes raw = a.subspan(static_cast<std::size_t>(pos + 46), name_len);
    for (std::size_t k = 0; k < raw.size(); ++k) {
      if (raw[k] == 0) {
        raw = raw.first(k);
        break;
      }
    }
    e.name = (e.flags & 0x800) ? utf8_lossy(raw) : cp437_decode(raw);
    for (char& c : e.name)
      if (c == '\\') c = '/';
    entries.push_back(std::move(e));
    pos += 46ull + name_len + extra_len + comment_len;
  }

  // Every name is checked before the destination is touched.
  const std::string prefix = fmt::format("{}/", kTopFolder);
  std::vector<Selected> selected;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& name = entries[i].name;
    if (!name.empty() && name.back() == '/') continue;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < prefix.size()) continue;
    std::string_view rest = std::string_view(name).substr(prefix.size());
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= rest.size()) {
      std::size_t slash = rest.find('/', start);
      std::size_t end = slash == std::string_view::npos ? rest.size() : slash;
      if (end > start) pieces.emplace_back(rest.substr(start, end - start));
      start = end + 1;
    }
    bool refused = (!rest.empty() && rest.front() == '/') || pieces.empty();
    for (const auto& p : pieces)
      if (p == "." || p == ".." || p.find(':') != std::string::npos) refused = true;
    if (refused) return SizeResult::failure(fmt::format("ruta no permitida en el paquete: {}", name));
    std::string first = ascii_lower(pieces.front());
    if (first == "data" || first == "tools") continue;
    total += entries[i].usize;
    selected.push_back({i, std::move(pieces)});
  }
  if (selected.empty()) return SizeResult::failure(fmt::format("el paquete no trae la carpeta {}", kTopFolder));
  if (total > limits.max_total_bytes)
    return SizeResult::failure(
        fmt::format("el paquete supera el límite de {} bytes descomprimidos", limits.max_total_bytes));

  std::error_code ec;
  std::filesystem::remove_all(dest, ec);
  std::filesystem::create_directories(dest, ec);
  int dest_fd = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dest_fd < 0) return SizeResult::failure(sys_error(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } dest_closer{dest_fd};

  std::size_t written = 0;
  for (const Selected& s : selected) {
    const EntryRecord& e = entries[s.index];
    int err = 0;
    int dir = open_dirs(dest_fd, s.pieces, s.pieces.size() - 1, err);
    if (dir < 0) return SizeResult::failure(sys_error(err));
    FdCloser dir_closer{dir};

    std::uint64_t h = e.header_offset;
    if (h + 4 > size || u32(a, h) != 0x04034b50) return SizeResult::failure("Bad magic number for file header");
    if (e.flags & 1)
      return SizeResult::failure(fmt::format("File '{}' is encrypted, password required for extraction", e.name));
    if (h + 30 > size) return not_zip();
    std::uint64_t data_start = h + 30 + u16(a, h + 26) + u16(a, h + 28);
    if (data_start > size || e.csize > size - data_start) return not_zip();
    Bytes raw = a.subspan(static_cast<std::size_t>(data_start), static_cast<std::size_t>(e.csize));

    const std::string bad_crc = fmt::format("Bad CRC-32 for file '{}'", e.name);
    std::vector<std::uint8_t> out;
    if (e.method == 0) {
      // Never more than the entry declares, so the package's cap holds.
      if (raw.size() > e.usize) return SizeResult::failure(bad_crc);
      out.assign(raw.begin(), raw.end());
    } else if (e.method == 8) {
      auto r = inflate(raw, e.usize, e.usize);
      if (!r) {
        if (r.error() == kInflateOverLimit) return SizeResult::failure(bad_crc);
        return SizeResult::failure(r.error());
      }
      out = std::move(r.value());
    } else {
      return SizeResult::failure(fmt::format("compression type {}", e.method));
    }
    if (zip_crc32(out) != e.crc) return SizeResult::failure(bad_crc);

    int fd = openat(dir, s.pieces.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return SizeResult::failure(sys_error(errno));
    bool ok = write_all(fd, out.data(), out.size(), err);
    // Entries made on Unix keep their permission bits (an executable must
    // stay executable), never more than rwxr-xr-x.
    if (ok && (e.made_by >> 8) == 3) {
      mode_t mode = static_cast<mode_t>((e.external >> 16) & 0755);
      if (mode != 0 && fchmod(fd, mode) != 0) {
        err = errno;
        ok = false;
      }
    }
    if (close(fd) != 0 && ok) {
      err = errno;
      ok = false;
    }
    if (!ok) return SizeResult::failure(sys_error(err));
    ++written;
  }
  return written;
}

}  // namespace vessoria
