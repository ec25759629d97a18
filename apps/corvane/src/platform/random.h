// Random bytes from the operating system's generator.
#pragma once

#include <cstddef>

namespace corvane {

// Fills `out` with `n` unpredictable bytes. False when the generator failed
// (the buffer is then undefined).
bool random_bytes(void* out, std::size_t n);

}  // namespace corvane
