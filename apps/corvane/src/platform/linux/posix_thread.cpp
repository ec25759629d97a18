#include <pthread.h>

#include <string>

#include "platform/thread.h"

namespace corvane {

void thread_set_name(std::string_view name) {
    std::string cut(name.substr(0, 15));
    pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace corvane
