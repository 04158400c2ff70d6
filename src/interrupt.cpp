// The rate limit of interrupt checks; see interrupt.hpp.
#include "interrupt.hpp"

#include <algorithm>

namespace vantrel {

InterruptPoller::InterruptPoller(const InterruptHook& hook) : hook_(hook) {
    if (hook_.stop_requested != nullptr) next_call_ = Clock::now() + hook_.min_interval;
}

bool InterruptPoller::stop_requested() {
    if (stopped_) return true;
    if (hook_.stop_requested == nullptr) return false;
    const Clock::time_point before = Clock::now();
    if (before < next_call_) return false;
    stopped_ = hook_.stop_requested(hook_.context);
    const Clock::time_point after = Clock::now();
    next_call_ = after + std::max<Clock::duration>(hook_.min_interval, (after - before) * hook_.cost_factor);
    return stopped_;
}

}  // namespace vantrel
