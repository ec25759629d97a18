#include <pthread.h>

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/thread.h"

namespace corvane {

namespace {

thread_local std::string t_name;

// Long names of the program's threads and what the system shows instead.
// "crvn-codificador-video"/"-audio" and "crvn-detector-lento"/"crvn-detector"
// would collide if simply cut.
constexpr std::pair<std::string_view, std::string_view> kShortNames[] = {
    {"crvn-codificador-video", "crvn-cod-video"},
    {"crvn-codificador-audio", "crvn-cod-audio"},
    {"crvn-detector-lento", "crvn-det-lento"},
    {"crvn-audio-juego", "crvn-aud-juego"},
};

}  // namespace

std::string thread_os_name(std::string_view name) {
    if (name.size() <= 15) return std::string(name);
    for (const auto& [full, shorter] : kShortNames) {
        if (name == full) return std::string(shorter);
    }
    return std::string(name.substr(0, 15));
}

void thread_set_name(std::string_view name) {
    t_name.assign(name);
    pthread_setname_np(pthread_self(), thread_os_name(name).c_str());
}

const std::string& thread_current_name() {
    return t_name;
}

std::string thread_start_detached(std::string name, std::function<void()> body) {
    try {
        std::thread([n = std::move(name), b = std::move(body)]() mutable {
            if (!n.empty()) thread_set_name(n);
            b();
        }).detach();
        return {};
    } catch (const std::system_error& e) {
        return e.code().message();
    }
}

}  // namespace corvane
