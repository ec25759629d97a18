// libFuzzer: the DEFLATE decoder on arbitrary input, checked against zlib:
// whenever zlib decodes the stream to its end, ours must give the same bytes.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "zip.h"

namespace {

constexpr std::size_t kCap = 1 << 20;

// Returns the decoded length, or -1 unless zlib reaches the end of the stream.
long zlib_inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return -1;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&zs, Z_FINISH);
  long n = static_cast<long>(zs.total_out);
  inflateEnd(&zs);
  return rc == Z_STREAM_END ? n : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto ours = vessoria::inflate(std::span<const std::uint8_t>(data, size), size * 4, kCap);
  static std::vector<std::uint8_t> ref(kCap);
  long n = zlib_inflate(data, size, ref);
  if (n >= 0) {
    if (!ours || ours.value().size() != static_cast<std::size_t>(n) ||
        std::memcmp(ours.value().data(), ref.data(), static_cast<std::size_t>(n)) != 0)
      std::abort();
  }
  return 0;
}
