// Temporary: the sparse mode is being written.
#include "batching.hpp"

namespace vantrel {

Result<BatchedResult> tresk_batched_core(uint64_t, uint64_t, std::span<const float>, std::span<const uint64_t>,
                                         const BatchSettings&) {
    return internal_error("sparse mode is not implemented yet");
}

}  // namespace vantrel
