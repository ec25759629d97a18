// A file sent whole or in part on a socket (the clip media route): opened
// without following a final link and without waiting on special files, then
// handed to the socket by the system without passing through the program.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/net.h"

namespace corvane {

struct MediaFile {
    int handle = -1;
    std::uint64_t size = 0;
    bool valid() const { return handle >= 0; }
};

// A regular file opened for reading, with its size; invalid when it cannot be
// opened, is a link, or is not a regular file (a folder, a FIFO, a device).
MediaFile media_file_open(const std::filesystem::path& path);

// Sends `count` bytes starting at `offset`; returns how many were sent, fewer
// when the file ends early, reading fails or the peer stops taking data
// (the socket's send time-out applies).
std::uint64_t media_file_send(NetSocket s, const MediaFile& file, std::uint64_t offset, std::uint64_t count);

// Closes the file; no-op when invalid.
void media_file_close(MediaFile& file);

}  // namespace corvane
