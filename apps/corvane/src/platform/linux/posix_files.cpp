#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

std::string errno_text(int err) {
    return std::system_category().message(err);
}

// Follows a chain of symbolic links to the file they lead to.
fs::path resolve_links(fs::path p) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf - 1);
        if (n <= 0) break;
        fs::path target(std::string(buf, static_cast<size_t>(n)));
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return p;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t w = ::write(fd, data.data(), data.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

void sync_folder(const fs::path& target) {
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace

FileReplaceResult file_replace(const fs::path& path, std::string_view data,
                               const FileReplaceOptions& options) {
    const fs::path target = options.follow_links ? resolve_links(path) : path;
    unsigned mode = 0644;
    if (options.mode) {
        mode = *options.mode;
    } else {
        struct stat old {};
        if (::stat(target.c_str(), &old) == 0) mode = old.st_mode & 07777;
    }

    std::string temp;
    int fd = -1;
    if (options.temp.empty()) {
        temp = target.string() + ".XXXXXX";
        fd = ::mkostemp(temp.data(), O_CLOEXEC);
    } else {
        temp = options.temp.string();
        // Never through a link planted at the temporary name.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    if (fd < 0) return {FileReplaceStep::write, errno_text(errno)};

    int err = 0;
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) err = errno;
    if (!err && !write_all(fd, data)) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    FileReplaceStep failed = err ? FileReplaceStep::write : FileReplaceStep::none;
    if (!err && ::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        failed = FileReplaceStep::rename;
    }
    if (err) {
        if (!options.keep_temp_on_failure) ::unlink(temp.c_str());
        return {failed, errno_text(err)};
    }
    // The rename itself must survive a crash too.
    sync_folder(target);
    return {};
}

bool folder_create_private(const fs::path& folder) {
    std::error_code ec;
    if (fs::create_directories(folder, ec) && !ec) (void)::chmod(folder.c_str(), 0700);
    return fs::is_directory(folder, ec);
}

bool file_make_private(const fs::path& path) {
    return ::chmod(path.c_str(), 0600) == 0;
}

int file_rename(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int file_remove(const fs::path& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

}  // namespace corvane
