// The per-thread generator of unseeded runs: the ChaCha12 core keyed from the
// kernel's entropy source, re-keyed after every 64 KiB of output and after a
// fork.
//
// Forks are seen through one process-wide counter that a pthread_atfork
// handler bumps in all three phases; a generator keyed before the latest bump
// drops its buffer and re-keys on its next draw (see core_of), so a child does
// not repeat its parent's words. The handler is registered when the library
// is loaded: registered by the first thread_rng call instead, another thread
// could key its generator and fork before the registration was done, and its
// child would replay the parent's stream. getrandom is the source unless the
// kernel lacks it (ENOSYS) or a sandbox forbids it (EPERM); then /dev/urandom,
// opened once and kept open, after /dev/random has polled readable (the pool
// is initialised). Shared state is a few atomics: the system takes no locks.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef __has_include
#if __has_include(<linux/random.h>)
#include <linux/random.h>
#endif
#endif
#ifndef GRND_NONBLOCK
#define GRND_NONBLOCK 0x0001
#endif

#include "random/rng.hpp"

namespace vantrel {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr int64_t kRefillBytes = kBufferWords * 4;

enum Source : int { source_undecided = 0, source_getrandom = 1, source_urandom = 2 };
std::atomic<int> g_source{source_undecided};
std::atomic<int> g_urandom_fd{-1};  // open for the rest of the process once set
// pthread_atfork's result at load time (0 or an errno value); written before
// any thread can call thread_rng and only read afterwards.
int g_fork_handler_error = 0;

thread_local ThreadRng t_rng;
thread_local bool t_rng_created = false;

void count_fork() { thread_rng_fork_count.fetch_add(1, std::memory_order_relaxed); }

[[gnu::constructor]] void register_fork_counter() {
    g_fork_handler_error = pthread_atfork(count_fork, count_fork, count_fork);
}

Error errno_error(int err) { return internal_error(std::system_category().message(err)); }

Source entropy_source() {
    int source = g_source.load(std::memory_order_relaxed);
    if (source != source_undecided) return static_cast<Source>(source);
#ifdef SYS_getrandom
    // An empty non-blocking request tells whether the call exists and is
    // allowed without waiting for the pool.
    const long probe = syscall(SYS_getrandom, nullptr, 0, GRND_NONBLOCK);
    const bool unusable = probe < 0 && (errno == ENOSYS || errno == EPERM);
    source = unusable ? source_urandom : source_getrandom;
#else
    source = source_urandom;
#endif
    g_source.store(source, std::memory_order_relaxed);
    return static_cast<Source>(source);
}

#ifdef SYS_getrandom
Status fill_from_getrandom(unsigned char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const long r = syscall(SYS_getrandom, buf + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno_error(errno);
        }
        got += static_cast<size_t>(r);
    }
    return ok_status();
}
#endif

// The shared /dev/urandom descriptor, opened on first use. Two threads racing
// here both open it; the loser closes its copy.
Result<int> urandom_fd() {
    const int known = g_urandom_fd.load(std::memory_order_acquire);
    if (known >= 0) return known;

    // /dev/random turns readable once the kernel pool is initialised; before
    // that /dev/urandom would hand out weak bytes.
    const int random_fd = open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd < 0) return errno_error(errno);
    pollfd wait_readable{random_fd, POLLIN, 0};
    for (;;) {
        if (poll(&wait_readable, 1, -1) >= 0) break;
        if (errno == EINTR) continue;
        const int err = errno;
        close(random_fd);
        return errno_error(err);
    }
    close(random_fd);

    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno_error(errno);
    int expected = -1;
    if (!g_urandom_fd.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
        close(fd);
        return expected;
    }
    return fd;
}

Status fill_from_urandom(unsigned char* buf, size_t n) {
    auto fd = urandom_fd();
    if (!fd) return fd.error();
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd.value(), buf + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno_error(errno);
        }
        if (r == 0) return errno_error(EIO);  // a character device never ends; treat it as a failed read
        got += static_cast<size_t>(r);
    }
    return ok_status();
}

std::array<uint32_t, 8> key_from_bytes(const unsigned char* bytes) {
    std::array<uint32_t, 8> key{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 | uint32_t(bytes[4 * i + 2]) << 16 |
                 uint32_t(bytes[4 * i + 3]) << 24;
    }
    return key;
}

}  // namespace

Status fill_entropy(void* buf, size_t n) {
    auto* bytes = static_cast<unsigned char*>(buf);
#ifdef SYS_getrandom
    if (entropy_source() == source_getrandom) return fill_from_getrandom(bytes, n);
#endif
    return fill_from_urandom(bytes, n);
}

Status fill_entropy_from_urandom(void* buf, size_t n) {
    return fill_from_urandom(static_cast<unsigned char*>(buf), n);
}

ThreadRng thread_rng_from_key(const std::array<uint32_t, 8>& key) {
    ThreadRng rng;
    rng.core.key = key;
    rng.core.counter = 0;
    rng.core.stream = 0;
    rng.core.index = kBufferWords;
    rng.bytes_until_reseed = rng.threshold;
    rng.fork_counter = thread_rng_fork_count.load(std::memory_order_relaxed);
    return rng;
}

Result<ThreadRng*> thread_rng() {
    if (t_rng_created) return &t_rng;
    const std::string kFailure = "could not initialize thread_rng: ";

    // Without the fork handler a child could replay this generator's words.
    if (g_fork_handler_error != 0) {
        return internal_error(kFailure + std::system_category().message(g_fork_handler_error));
    }
    unsigned char bytes[kKeyBytes];
    Status fetched = fill_entropy(bytes, sizeof bytes);
    if (!fetched) return internal_error(kFailure + fetched.message());

    t_rng = thread_rng_from_key(key_from_bytes(bytes));
    t_rng_created = true;
    return &t_rng;
}

void refill(ThreadRng& rng) {
    const uint64_t forks = thread_rng_fork_count.load(std::memory_order_relaxed);
    if (rng.bytes_until_reseed <= 0 || rng.fork_counter < forks) {
        unsigned char bytes[kKeyBytes];
        // A failed fetch is not fatal: the generator goes on with its key.
        if (fill_entropy(bytes, sizeof bytes)) {
            rng.core.key = key_from_bytes(bytes);
            rng.core.counter = 0;
            rng.core.stream = 0;
        }
        rng.fork_counter = forks;
        rng.bytes_until_reseed = rng.threshold - kRefillBytes;
    } else {
        rng.bytes_until_reseed -= kRefillBytes;
    }
    refill(rng.core);
}

}  // namespace vantrel
