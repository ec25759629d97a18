// One request/reply exchange with a TCP service on 127.0.0.1.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

struct LoopbackLimits {
    std::chrono::milliseconds connect{800};    // to get the connection
    std::chrono::milliseconds exchange{3000};  // sending plus reading, in total
    std::size_t max_reply = 64 * 1024;         // reading stops here
};

// Connects to 127.0.0.1:`port`, sends `request` in full and reads the reply
// until the peer closes, a read fails, or a limit is reached; what was read by
// then is returned. Empty when the connection or the sending failed.
std::string loopback_exchange(std::uint16_t port, std::string_view request,
                              const LoopbackLimits& limits = {});

}  // namespace corvane
