#include "platform/memory.h"

#include <malloc.h>

namespace corvane {

void memory_allocator_setup() {
    // glibc gives each thread that allocates under contention an arena of its
    // own, up to eight per core, and keeps what each one once held. The web
    // server's connection threads, the encoders and the detector would then
    // each keep the high-water mark of their own arena.
    ::mallopt(M_ARENA_MAX, 4);
    // A fixed threshold: glibc would otherwise raise it to the size of each
    // large block freed (up to 32 MiB), after which pages of megabytes are
    // carved from the arenas and stay there once freed.
    ::mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    // Setting the threshold also fixes when the top of an arena is handed
    // back: at 128 KiB, every page request would hand back and fault in again
    // the same few hundred KiB. Idle moments give it all back instead
    // (memory_release_unused).
    ::mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

void memory_release_unused() {
    // The pages polled every few seconds leave little behind: trimming for
    // that would only fault the same pages in again at the next poll.
    if (::mallinfo2().fordblks < 4 * 1024 * 1024) return;
    ::malloc_trim(0);
}

}  // namespace corvane
