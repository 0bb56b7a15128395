// What tests may ask the simulated dispatcher about its objects.
#pragma once

#include <cstddef>

namespace sim {

// Threads queued on a dispatcher object (event, mutex, semaphore, thread)
// right now, waiting for it to be signalled.
size_t WaitingThreads(const void* object);

}  // namespace sim
