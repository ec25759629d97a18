// The console: the program's standard output, as the "--consola" copy of the
// log uses it. Nobody may be reading it (a pager, a paused terminal, a
// supervisor that never drains its pipe), so nothing here ever waits.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane {

// Writes as much of `text` as standard output takes at this moment and
// returns how many bytes that was: fewer than asked, down to 0, when a pipe or
// terminal is full, and 0 when there is no console or it was closed.
std::size_t console_write_now(std::string_view text);

// Tests only: look at standard output again on the next write (it was
// redirected).
void console_forget_for_tests();

}  // namespace corvane
