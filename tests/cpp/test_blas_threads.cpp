// The BLAS threading callback: products whose jobs run on the module's helper
// threads give exactly the values of the library's own threads, from
// concurrent callers too, and a forked child can make products again.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "blas_api.hpp"
#include "blas_ops.hpp"
#include "blas_threads.hpp"
#include "child_process.hpp"

namespace vantrel {
namespace {

struct Shape {
    uint64_t r, c, d;
};

// Shapes of the search's blocks and some ragged ones around them.
constexpr std::array<Shape, 8> kShapes{{
    {256, 5000, 16}, {1000, 2048, 128}, {2000, 2048, 32}, {4194, 2000, 2},
    {333, 1999, 7}, {1, 4096, 64}, {4097, 3, 5}, {640, 700, 700},
}};

std::vector<float> random_values(uint64_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(count);
    for (float& x : v) x = normal(gen);
    return v;
}

std::vector<float> product(const Shape& s, uint32_t seed) {
    const auto q = random_values(s.r * s.d, seed), x = random_values(s.c * s.d, seed + 1);
    std::vector<float> out(s.r * s.c);
    product_block(q.data(), s.r, x.data(), s.c, s.d, out.data());
    return out;
}

class BlasThreads : public ::testing::Test {
protected:
    void SetUp() override {
        if (!blas_threads_installed()) GTEST_SKIP() << "built without the BLAS threading callback";
        saved_ = VANTREL_BLAS(openblas_get_num_threads)();
        VANTREL_BLAS(openblas_set_num_threads)(3);  // more jobs than this machine has cores
    }
    void TearDown() override {
        if (saved_ > 0) VANTREL_BLAS(openblas_set_num_threads)(saved_);
    }
    int saved_ = 0;
};

TEST_F(BlasThreads, SameValuesAsTheLibrarysOwnThreads) {
#if defined(__SANITIZE_THREAD__)
    // The library is not instrumented: how its own threads hand a product
    // back is invisible to the thread sanitizer (ours go through our atomics).
    GTEST_SKIP() << "the library's own threads under the thread sanitizer";
#endif
    for (size_t k = 0; k < kShapes.size(); ++k) {
        const auto ours = product(kShapes[k], static_cast<uint32_t>(k));
        EXPECT_GE(blas_helper_threads(), 1u);
        use_library_threads();
        const auto theirs = product(kShapes[k], static_cast<uint32_t>(k));
        reinstall_blas_threads();
        EXPECT_EQ(ours, theirs) << "shape " << kShapes[k].r << " x " << kShapes[k].c << " x " << kShapes[k].d;
    }
}

TEST_F(BlasThreads, ConcurrentCallersGetTheirOwnProducts) {
    std::vector<std::vector<float>> expected;
    for (size_t k = 0; k < 4; ++k) expected.push_back(product(kShapes[k], 7));
    std::vector<std::thread> callers;
    std::vector<int> mismatches(4, 0);
    for (size_t k = 0; k < 4; ++k) {
        callers.emplace_back([&, k] {
            for (int round = 0; round < 5; ++round) mismatches[k] += product(kShapes[k], 7) != expected[k];
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(BlasThreads, ForkedChildMakesProducts) {
    if (!test::kThreadsAfterForkSupported) GTEST_SKIP() << test::kThreadsAfterForkUnsupported;
    const auto expected = product(kShapes[1], 3);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) product(kShapes[0], 5);
    });
    for (int i = 0; i < 5; ++i) {
        const int status = test::run_in_child([&] { return product(kShapes[1], 3) == expected ? 0 : 1; });
        EXPECT_EQ(status, 0) << "child " << i;
    }
    stop.store(true);
    busy.join();
}

}  // namespace
}  // namespace vantrel
