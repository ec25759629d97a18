#include "base/flags.h"

#include "base/published.h"

namespace corvane {

namespace {
Published<QuitFlag>& g_quit = *new Published<QuitFlag>;  // leaked: read at exit
}  // namespace

std::shared_ptr<QuitFlag> quit_flag_publish() { return g_quit.publish(); }

std::shared_ptr<QuitFlag> quit_flag() { return g_quit.get(); }

bool quit_requested() {
    auto q = quit_flag();
    return q && q->set.load(std::memory_order_relaxed);
}

}  // namespace corvane
