// libx265 (used by the encoder tests) keeps one internal allocation for the
// life of the process; it is not ours to free. The leak checker is told so.
// Weak, so that every test file of one program may include this.
#pragma once

extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
