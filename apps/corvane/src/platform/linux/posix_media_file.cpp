#include "platform/media_file.h"

#include <fcntl.h>
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

std::uint64_t media_file_send(NetSocket s, const MediaFile& file, std::uint64_t offset, std::uint64_t count) {
    constexpr std::uint64_t kMaxCall = 0x7ffff000;  // the most one sendfile call moves
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
