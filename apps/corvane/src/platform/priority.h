// Scheduling priority of the calling thread.
#pragma once

namespace corvane {

// Lowers the calling thread below the recorder's threads (it still gets the
// processor when they are idle). Failures are ignored.
void thread_set_background_priority();

}  // namespace corvane
