// The process-wide worker pool for per-point work.
//
// Created on first parallel use and kept for the life of the process; sized by
// RAYON_NUM_THREADS when it holds a positive integer, else by the processors
// this process may run on. Several threads may call parallel_for at once: each
// caller works on its own tasks too, so no call waits on a busy pool forever
// and the number of threads stays bounded. After a fork the child starts a new
// pool on its first parallel call.
#pragma once

#include <cstdint>
#include <functional>

namespace vantrel {

// Calls body(begin, end) on disjoint ranges covering [0, count) and returns
// when all have run. Ranges hold at least min_chunk items where possible.
// body must not throw (a worker would terminate the process), and must not
// fork: the child would wait for chunks owned by threads it does not have.
void parallel_for(uint64_t count, uint64_t min_chunk,
                  const std::function<void(uint64_t begin, uint64_t end)>& body);

// Number of threads that work on a parallel_for (pool threads plus caller).
unsigned pool_thread_count();

// The thread count a RAYON_NUM_THREADS value asks for: a positive decimal
// integer (an optional leading '+', nothing else) that fits in unsigned, or 0
// when the value is absent or anything else, meaning "one per processor".
unsigned pool_size_from_env(const char* value);

}  // namespace vantrel
