// Early stop of a long computation at its caller's request.
//
// The drivers know nothing of Python. Their caller may hand them a hook, a
// plain function and its context, that answers "stop now?"; the convergence
// loop asks an InterruptPoller between product blocks, on the calling thread
// only, never from a pool task, so a stop always finds the pool idle and every
// buffer still owned by a scope that frees it.
//
// Asking may be expensive (the Python layer re-takes the interpreter lock, and
// that can wait for another thread's switch interval), so the poller calls the
// hook only after min_interval of work since the last call, and after at least
// cost_factor times what the last call itself took. Between calls it
// reads a monotonic clock, nothing else; without a hook it does not even that.
#pragma once

#include <chrono>

namespace vantrel {

// 100 ms of work before the first call and between calls. Ctrl-C then answers
// within about 0.1 s plus one product block, an uncontended call (well under a
// millisecond) costs nothing measurable, and a call that waits out a busy
// Python thread's 5 ms switch interval costs under 5% even of a run that ends
// just after it. (Measured: re-taking the lock from one spinning thread took
// 5.2 ms; from two, 10 ms in the median and up to 50 ms, which the cost factor
// below spaces out.)
inline constexpr std::chrono::nanoseconds kDefaultInterruptInterval = std::chrono::milliseconds(100);
// A call that had to wait is followed by 20 times its own duration of work, so
// waiting costs at most about 1/21 (under 5%) of the run.
inline constexpr int kInterruptCostFactor = 20;

struct InterruptHook {
    // True when the computation should stop; null means "never". Called on the
    // thread that runs the driver.
    bool (*stop_requested)(void* context) = nullptr;
    void* context = nullptr;
    std::chrono::nanoseconds min_interval = kDefaultInterruptInterval;
    int cost_factor = kInterruptCostFactor;
};

class InterruptPoller {
public:
    explicit InterruptPoller(const InterruptHook& hook);

    // True once the hook has asked to stop; from then on the hook is not
    // called again (a raised exception stays the only one).
    bool stop_requested();

private:
    using Clock = std::chrono::steady_clock;
    InterruptHook hook_;
    Clock::time_point next_call_;
    bool stopped_ = false;
};

// Polls `poller` when there is one.
inline bool stop_requested(InterruptPoller* poller) { return poller != nullptr && poller->stop_requested(); }

}  // namespace vantrel
