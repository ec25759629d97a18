// Writing a whole buffer to a file descriptor.
#pragma once

#include <string_view>

namespace corvane {

// Writes all of `data` to `fd`, going on after short writes and EINTR. False
// on any other failure, with errno as write(2) left it.
bool fd_write_all(int fd, std::string_view data);

}  // namespace corvane
