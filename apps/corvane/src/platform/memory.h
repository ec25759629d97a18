// How the process's allocator holds memory: set once at start-up, and asked
// to give back what a burst of work has left free.
#pragma once

namespace corvane {

// Few allocator arenas, and large blocks always in memory of their own, so
// that what is freed goes back to the system instead of staying in the arena
// of whichever thread freed it. Call before other threads start.
void memory_allocator_setup();

// Gives the system back the free memory the allocator still holds (at the
// top and in the middle of its arenas) when it holds more than a few MiB.
// Takes a few milliseconds; for idle moments after a burst of work.
void memory_release_unused();

}  // namespace corvane
