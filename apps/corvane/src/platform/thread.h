// Threads as the system shows them, and starting detached, named threads.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace corvane {

// Names the calling thread. The kernel keeps 15 bytes of a name, so the
// system is given thread_os_name(name); the full name stays with the thread
// for our own messages (thread_current_name).
void thread_set_name(std::string_view name);

// The calling thread's full name; empty when it was never named.
const std::string& thread_current_name();

// The short name the system shows for `name`: names of up to 15 bytes as they
// are; the program's longer "crvn-..." names shortened so that no two of them
// collide; any other long name cut to 15 bytes.
std::string thread_os_name(std::string_view name);

// Starts `body` on a detached thread named `name`. Empty on success, else the
// system's text of why the thread could not be created.
std::string thread_start_detached(std::string name, std::function<void()> body);

}  // namespace corvane
