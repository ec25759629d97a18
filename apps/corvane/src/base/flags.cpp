#include "base/flags.h"

#include <mutex>

namespace corvane {

namespace {
std::mutex g_mutex;
std::shared_ptr<QuitFlag>* g_quit = new std::shared_ptr<QuitFlag>;  // leaked: read at exit
}  // namespace

std::shared_ptr<QuitFlag> quit_flag_publish() {
    std::lock_guard lock(g_mutex);
    if (!*g_quit) *g_quit = std::make_shared<QuitFlag>();
    return *g_quit;
}

std::shared_ptr<QuitFlag> quit_flag() {
    std::lock_guard lock(g_mutex);
    return *g_quit;
}

bool quit_requested() {
    auto q = quit_flag();
    return q && q->set.load(std::memory_order_relaxed);
}

}  // namespace corvane
