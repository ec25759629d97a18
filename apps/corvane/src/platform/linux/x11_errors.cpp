#include "platform/linux/x11_errors.h"

#include <atomic>
#include <mutex>

namespace corvane {
namespace {

thread_local int t_last_x_error = 0;

int record_x_error(Display*, XErrorEvent* e) {
    t_last_x_error = e->error_code ? e->error_code : 1;
    return 0;
}

int ignore_io_error(Display*) {
    return 0;
}

}  // namespace

void x11_prepare() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(record_x_error);
        XSetIOErrorHandler(ignore_io_error);
    });
}

int x11_last_error() {
    return t_last_x_error;
}

void x11_clear_error() {
    t_last_x_error = 0;
}

void x11_mark_lost(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

}  // namespace corvane
