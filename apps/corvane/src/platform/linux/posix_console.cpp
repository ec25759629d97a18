#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/console.h"

namespace corvane {

namespace {

enum class Kind { unknown, none, file, socket, nonblocking };

struct Console {
    std::mutex mutex;
    Kind kind = Kind::unknown;
    int fd = -1;  // our own descriptor for `nonblocking`
};

Console& console() {
    // Leaked: detached threads may log while the process ends.
    static auto* c = new Console;
    return *c;
}

// A file (or a disk) never waits for a reader: write to it as it is. A pipe or
// a terminal is opened a second time without blocking, so that O_NONBLOCK
// lands on a description of our own and not on the one we share with the
// parent and the other programs writing there.
void classify(Console& c) {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) {
        c.kind = Kind::none;
        return;
    }
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        c.kind = Kind::file;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        c.kind = Kind::socket;
        return;
    }
    c.fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    // Without a descriptor of our own any write could block: no console then.
    c.kind = c.fd >= 0 ? Kind::nonblocking : Kind::none;
}

}  // namespace

std::size_t console_write_now(std::string_view text) {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    if (c.kind == Kind::unknown) classify(c);
    std::size_t done = 0;
    while (done < text.size()) {
        const char* p = text.data() + done;
        const std::size_t n = text.size() - done;
        ssize_t w = -1;
        switch (c.kind) {
            case Kind::file: w = ::write(STDOUT_FILENO, p, n); break;
            case Kind::socket: w = ::send(STDOUT_FILENO, p, n, MSG_DONTWAIT | MSG_NOSIGNAL); break;
            case Kind::nonblocking: w = ::write(c.fd, p, n); break;
            default: return done;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // full (EAGAIN), closed (EPIPE) or broken
        done += static_cast<std::size_t>(w);
    }
    return done;
}

void console_forget_for_tests() {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    c.kind = Kind::unknown;
}

}  // namespace corvane
