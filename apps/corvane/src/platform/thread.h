// Naming of the calling thread as the system shows it.
#pragma once

#include <string_view>

namespace corvane {

// Sets the calling thread's system name. The kernel keeps 15 bytes: longer
// names are cut, so the "crvn-..." names are chosen to fit.
void thread_set_name(std::string_view name);

}  // namespace corvane
