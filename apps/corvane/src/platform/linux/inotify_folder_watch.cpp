#include "platform/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace corvane {

namespace {

// A file written in place shows when it is closed, not at each write: a clip
// being written would otherwise count as a change at every request.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

class InotifyFolderWatch final : public FolderWatch {
  public:
    explicit InotifyFolderWatch(int fd) : fd_(fd) {}
    ~InotifyFolderWatch() override { ::close(fd_); }
    InotifyFolderWatch(const InotifyFolderWatch&) = delete;
    InotifyFolderWatch& operator=(const InotifyFolderWatch&) = delete;

    bool add(const std::string& path) override { return ::inotify_add_watch(fd_, path.c_str(), kMask) >= 0; }

    bool changed() override {
        if (changed_) return true;
        // Any event at all, the queue's overflow and a watch's end included.
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return false;
            changed_ = true;  // events, or a read that failed: nothing is vouched for
            return true;
        }
    }

  private:
    int fd_;
    bool changed_ = false;
};

}  // namespace

std::unique_ptr<FolderWatch> FolderWatch::open() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<InotifyFolderWatch>(fd);
}

}  // namespace corvane
