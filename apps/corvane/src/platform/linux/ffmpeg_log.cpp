// FFmpeg's av_log into a line sink, warnings and errors only.
extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/media_log.h"

namespace corvane {
namespace {

std::mutex g_mutex;
thread_local int t_quiet = 0;
std::shared_ptr<const std::function<void(std::string_view)>> g_sink;

// Who speaks: the component's own name ("libx264", "mp4"), without the
// address FFmpeg's default prefix carries.
std::string speaker(void* avcl) {
    if (!avcl) return {};
    const AVClass* cls = *static_cast<AVClass**>(avcl);
    if (!cls || !cls->item_name) return {};
    const char* name = cls->item_name(avcl);
    return name ? name : "";
}

void on_message(void* avcl, int level, const char* format, va_list args) {
    // A message may arrive in pieces; each thread gathers its own line.
    thread_local std::string pending;
    thread_local std::string pending_who;
    if (level > AV_LOG_WARNING || t_quiet > 0) return;
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (pending.empty()) pending_who = speaker(avcl);
    pending.append(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
    // A message that never ends its line still comes out, in pieces.
    if (pending.size() > 4096 && pending.find('\n') == std::string::npos) pending += '\n';
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string body = pending.substr(0, end);
        pending.erase(0, end + 1);
        while (!body.empty() && (body.back() == '\r' || body.back() == ' ')) body.pop_back();
        if (body.empty()) continue;
        const std::string line =
            pending_who.empty() ? "[FFmpeg] " + body : "[FFmpeg] " + pending_who + ": " + body;
        std::shared_ptr<const std::function<void(std::string_view)>> sink;
        {
            std::lock_guard lock(g_mutex);
            sink = g_sink;
        }
        if (sink) {
            static std::mutex call_mutex;
            std::lock_guard lock(call_mutex);
            (*sink)(line);
        }
        pending_who = speaker(avcl);
    }
}

}  // namespace

MediaLogQuiet::MediaLogQuiet() { ++t_quiet; }
MediaLogQuiet::~MediaLogQuiet() { --t_quiet; }

void media_log_route(std::function<void(std::string_view line)> sink) {
    {
        std::lock_guard lock(g_mutex);
        g_sink = sink ? std::make_shared<const std::function<void(std::string_view)>>(std::move(sink))
                      : nullptr;
    }
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(on_message);
}

}  // namespace corvane
