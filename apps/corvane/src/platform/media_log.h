// The media libraries' own messages. Left alone they print everything they
// say (encoder probes, statistics at the end of a stream) on the standard
// error; routed, only their warnings and errors come out, one whole line at a
// time, to the program's log.
#pragma once

#include <functional>
#include <string_view>

namespace corvane {

// From now on each warning or error line goes to `sink` as "[FFmpeg] who:
// text" (no line end); other messages are dropped. An empty sink drops
// everything. `sink` may be called from any thread, never twice at once.
void media_log_route(std::function<void(std::string_view line)> sink);

// While one lives, the media messages of the calling thread are dropped: for
// trying encoders that may well be missing (the caller reports the failure in
// its own words) and for closing ones that are expected to complain.
class MediaLogQuiet {
  public:
    MediaLogQuiet();
    ~MediaLogQuiet();
    MediaLogQuiet(const MediaLogQuiet&) = delete;
    MediaLogQuiet& operator=(const MediaLogQuiet&) = delete;
};

}  // namespace corvane
