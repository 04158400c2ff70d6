// Temporary: the dense search is being written.
#include "search.hpp"

namespace vantrel {

Result<std::vector<float>> tresk_core(uint64_t, uint64_t, uint64_t, const float*, float, const uint64_t*,
                                      uint64_t, bool, std::optional<uint64_t>) {
    return internal_error("dense mode is not implemented yet");
}

}  // namespace vantrel
