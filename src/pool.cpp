// The process-wide worker pool behind parallel_for.
//
// One shared queue holds the calls that still have unclaimed chunks, oldest
// first. Pool threads and callers claim chunks under one mutex; a caller runs
// its own chunks (and, once they are all claimed, anyone's) until its last
// chunk has finished, so concurrent and nested calls always make progress and
// the thread count stays at pool size plus callers. Idle threads sleep on a
// condition variable.
//
// The pool is created on first use and never destroyed: its threads may still
// be asleep when the process exits. When the system cannot start as many
// threads as asked for, the pool keeps half of those it got and ends the
// rest: thread creation fails when the process is out of address space or of
// threads, and a pool holding all of it would leave the calls it serves (and
// the rest of the process) no room to work. A fork handler drops the pool in
// the child, where its threads do not exist; the old state is leaked there on
// purpose (its mutex may be held by a thread that is gone), and the child's
// next parallel call builds a fresh pool.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {

namespace {

// Chunks per working thread: enough to even out uneven chunks, few enough
// that claiming stays cheap.
constexpr uint64_t kChunksPerThread = 4;
// Largest CPU set sched_getaffinity is asked about.
constexpr int kMaxCpuSetSize = 1 << 16;

// One parallel_for call; lives on its caller's stack. All fields after body
// are guarded by the pool mutex.
struct Job {
    const std::function<void(uint64_t, uint64_t)>* body = nullptr;
    uint64_t count = 0;
    uint64_t chunk = 0;   // items per chunk; the last may be shorter
    uint64_t chunks = 0;
    uint64_t next = 0;      // first unclaimed chunk
    uint64_t finished = 0;  // chunks that have run
    std::condition_variable done;
};

struct Pool {
    unsigned size = 1;  // threads working on one call, the caller included
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Job*> queue;  // calls with unclaimed chunks, oldest first
    unsigned keep = UINT_MAX;  // workers with this index or above end
    std::vector<std::thread> workers;  // never destroyed, like the pool
};

std::mutex g_pool_mutex;  // guards g_pool and its creation
Pool* g_pool = nullptr;

struct Range {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Claims the next chunk of job; a job leaves the queue with its last chunk,
// so the queue never points at a call that may already have returned.
// Requires the pool mutex and an unclaimed chunk.
Range claim(Pool& pool, Job& job) {
    const uint64_t c = job.next++;
    if (job.next == job.chunks) pool.queue.erase(std::find(pool.queue.begin(), pool.queue.end(), &job));
    const uint64_t begin = c * job.chunk;
    return {begin, begin + std::min(job.chunk, job.count - begin)};
}

// Runs a claimed chunk with the mutex released. The finishing notification is
// sent under the mutex: the caller cannot return, and take the job off its
// stack, before the notifier has let go of it.
void run(Job& job, Range r, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    (*job.body)(r.begin, r.end);
    lock.lock();
    if (++job.finished == job.chunks) job.done.notify_one();
}

void worker_loop(Pool* pool, unsigned index) {
    std::unique_lock<std::mutex> lock(pool->mutex);
    for (;;) {
        pool->work.wait(lock, [pool, index] { return !pool->queue.empty() || index >= pool->keep; });
        if (index >= pool->keep) return;
        Job& job = *pool->queue.front();
        run(job, claim(*pool, job), lock);
    }
}

unsigned available_processors() {
    for (int cpus = 1024; cpus <= kMaxCpuSetSize; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int err = errno;
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) {
            if (count > 0) return static_cast<unsigned>(count);
            break;
        }
        if (err != EINVAL) break;  // EINVAL: the kernel's set is larger, try again
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

unsigned configured_size() {
    const unsigned requested = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"));
    return requested > 0 ? requested : available_processors();
}

// Starts worker `index`; false when the system refuses (no thread, no memory).
bool start_worker(Pool* pool, unsigned index) {
    try {
        std::vector<std::thread>& workers = pool->workers;
        if (workers.size() == workers.capacity()) workers.reserve(std::max<size_t>(16, 2 * workers.capacity()));
        workers.emplace_back(worker_loop, pool, index);
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Called with g_pool_mutex held.
Pool* create_pool() {
    Pool* pool = new Pool;
    const unsigned wanted = configured_size();
    // Workers start with every signal blocked, so signals keep going to the
    // interpreter's own threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    unsigned started = 0;
    while (started + 1 < wanted && start_worker(pool, started)) ++started;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (started + 1 < wanted) {
        // Out of threads or address space: give half back (see the file
        // comment), and wait until those threads are gone, stacks included.
        const unsigned keep = started / 2;
        {
            std::lock_guard<std::mutex> guard(pool->mutex);
            pool->keep = keep;
        }
        pool->work.notify_all();
        for (unsigned i = keep; i < started; ++i) pool->workers[i].join();
        pool->workers.resize(keep);
        started = keep;
    }
    pool->size = started + 1;
    return pool;
}

void before_fork() { g_pool_mutex.lock(); }
void after_fork_in_parent() { g_pool_mutex.unlock(); }
void after_fork_in_child() {
    g_pool = nullptr;  // leaked: see the file comment
    g_pool_mutex.unlock();
}

// The fork handlers are registered when the library is loaded, before any
// thread can hold g_pool_mutex. Registered on first use instead, a fork while
// another thread was still registering them would leave the child with the
// mutex locked and nothing to release it: its first parallel call would hang.
[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

Pool& get_pool() {
    std::lock_guard<std::mutex> guard(g_pool_mutex);
    if (g_pool == nullptr) g_pool = create_pool();
    return *g_pool;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

unsigned pool_size_from_env(const char* value) {
    if (value == nullptr) return 0;
    const char* p = value;
    if (*p == '+') ++p;
    if (*p == '\0') return 0;
    uint64_t n = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > UINT_MAX) return 0;
    }
    return static_cast<unsigned>(n);
}

unsigned pool_thread_count() {
    {
        std::lock_guard<std::mutex> guard(g_pool_mutex);
        if (g_pool != nullptr) return g_pool->size;
    }
    return configured_size();
}

void parallel_for(uint64_t count, uint64_t min_chunk,
                  const std::function<void(uint64_t begin, uint64_t end)>& body) {
    if (count == 0) return;
    min_chunk = std::max<uint64_t>(min_chunk, 1);
    if (count <= min_chunk) {
        body(0, count);
        return;
    }
    Pool& pool = get_pool();
    Job job;
    job.body = &body;
    job.count = count;
    job.chunk = std::max(min_chunk, ceil_div(count, kChunksPerThread * pool.size));
    job.chunks = ceil_div(count, job.chunk);
    if (pool.size == 1 || job.chunks == 1) {
        body(0, count);
        return;
    }

    std::unique_lock<std::mutex> lock(pool.mutex);
    pool.queue.push_back(&job);
    const uint64_t helpers = std::min<uint64_t>(job.chunks - 1, pool.size - 1);
    for (uint64_t i = 0; i < helpers; ++i) pool.work.notify_one();
    while (job.finished < job.chunks) {
        if (job.next < job.chunks) {
            run(job, claim(pool, job), lock);
        } else if (!pool.queue.empty()) {
            Job& other = *pool.queue.front();
            run(other, claim(pool, other), lock);
        } else {
            job.done.wait(lock);
        }
    }
}

}  // namespace vantrel
