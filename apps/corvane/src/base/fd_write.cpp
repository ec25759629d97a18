#include "base/fd_write.h"

#include <unistd.h>

#include <cerrno>

namespace corvane {

bool fd_write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t w = ::write(fd, data.data(), data.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

}  // namespace corvane
