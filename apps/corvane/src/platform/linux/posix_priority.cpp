#include <sys/resource.h>
#include <unistd.h>

#include "platform/priority.h"

namespace corvane {

// Linux keeps a nice value per thread. Not SCHED_IDLE: next to a software
// encoder that never idles, such a thread would never run.
void thread_set_background_priority() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

}  // namespace corvane
