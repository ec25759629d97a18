#include "platform/media_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

MediaFile media_file_open(const std::filesystem::path& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {};
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return {fd, st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0};
}

namespace {

// sendfile has no MSG_NOSIGNAL: a peer that closes mid-reply would raise
// SIGPIPE. The signal is blocked on this thread for the call, and one left
// pending is taken before the mask is restored.
class PipeSignalGuard {
  public:
    PipeSignalGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~PipeSignalGuard() {
        if (!was_pending_) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec none{0, 0};
            while (sigtimedwait(&pipe, nullptr, &none) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

  private:
    sigset_t old_{};
    bool was_pending_ = false;
};

}  // namespace

std::uint64_t media_file_send(NetSocket s, const MediaFile& file, std::uint64_t offset, std::uint64_t count) {
    constexpr std::uint64_t kMaxCall = 0x7ffff000;  // the most one sendfile call moves
    PipeSignalGuard no_sigpipe;
    std::uint64_t sent = 0;
    off_t pos = static_cast<off_t>(offset);
    while (sent < count) {
        const std::size_t want = static_cast<std::size_t>(count - sent < kMaxCall ? count - sent : kMaxCall);
        const ssize_t n = ::sendfile(s.handle, file.handle, &pos, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<std::uint64_t>(n);
    }
    return sent;
}

void media_file_close(MediaFile& file) {
    if (file.handle >= 0) ::close(file.handle);
    file.handle = -1;
}

}  // namespace corvane
