// libFuzzer: the zip reader on arbitrary archives, extracting into a private
// scratch folder with small package caps.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "zip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dest =
      std::filesystem::temp_directory_path() / ("vessoria-zip-fuzz-" + std::to_string(getpid())) / "nuevo";
  vessoria::ZipLimits limits;
  limits.max_total_bytes = 8 << 20;
  limits.max_entries = 256;
  auto r = vessoria::zip_extract_bytes(std::span<const std::uint8_t>(data, size), dest, limits);
  (void)r;
  return 0;
}
