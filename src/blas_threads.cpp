// The threading callback handed to OpenBLAS, and the helper threads behind it.
//
// A call of the callback is one product's batch of jobs. Job 0 runs on the
// calling thread; the others go to a shared queue, and before the caller lets
// go of the queue's mutex there is an idle helper for every queued job, so
// every job of a batch runs at the same time as its siblings (the library's
// jobs wait on each other: one left queued behind a busy thread would stall
// the whole batch). Helpers are started on demand and kept; their number is
// bounded by the largest number of jobs queued at once.
//
// Helpers watch for new work for a moment (kHelperSpin), then sleep on a
// condition variable: waking one costs some microseconds per product, against
// products of a tenth of a millisecond and more. A caller whose own job is done spins briefly for the others (they
// finish together: the library's jobs end on a shared barrier) and then
// sleeps too.
//
// Fork: the child has none of the helpers, so a fork handler drops the group
// there (leaking it: a helper may have held its mutex); the child's next
// product starts new helpers. The handlers are registered at load, before any
// helper exists.
#include "blas_threads.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "blas_api.hpp"

namespace vantrel {

namespace {

// Calls into the BLAS in flight, and whether a fork is waiting for them.
struct BlasCalls {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned active = 0;
    bool fork_pending = false;
    bool closed = false;  // the process is exiting
};
// Never destroyed: a detached thread may make a product during exit.
BlasCalls& g_calls = *new BlasCalls;

void calls_before_fork() {
    std::unique_lock<std::mutex> lock(g_calls.mutex);
    g_calls.fork_pending = true;
    g_calls.changed.wait(lock, [] { return g_calls.active == 0; });
    lock.release();  // held through the fork
}
void calls_after_fork_in_parent() {
    g_calls.fork_pending = false;
    g_calls.mutex.unlock();
    g_calls.changed.notify_all();
}
void calls_after_fork_in_child() {
    // The only thread here; the waiters of the parent do not exist.
    g_calls.fork_pending = false;
    g_calls.mutex.unlock();
}

// Exit: the library's own clean-up at exit ends its threads and frees its
// buffers, while a daemon thread may still be inside a product (the
// interpreter stops such threads only when they ask for the lock back). A
// product then either used freed buffers or restarted the library's threads
// after it had ended them, and the exit waited for them forever. This module
// is finalised before the library it depends on, so here the calls in flight
// finish and later ones never start. The wait is bounded so that a product
// that cannot finish does not hold up the exit for good.
constexpr auto kExitWait = std::chrono::seconds(2);

[[gnu::destructor]] void close_at_exit() {
    std::unique_lock<std::mutex> lock(g_calls.mutex);
    g_calls.closed = true;
    g_calls.changed.wait_for(lock, kExitWait, [] { return g_calls.active == 0; });
}

}  // namespace

BlasCall::BlasCall() {
    std::unique_lock<std::mutex> lock(g_calls.mutex);
    // After close_at_exit this waits until the process ends.
    g_calls.changed.wait(lock, [] { return !g_calls.fork_pending && !g_calls.closed; });
    ++g_calls.active;
}

BlasCall::~BlasCall() {
    std::lock_guard<std::mutex> lock(g_calls.mutex);
    if (--g_calls.active == 0 && (g_calls.fork_pending || g_calls.closed)) g_calls.changed.notify_all();
}

#ifdef VANTREL_HAVE_BLAS_THREADS_CALLBACK

namespace {

// How long a caller whose job is done spins for its siblings before sleeping.
constexpr auto kCallerSpin = std::chrono::microseconds(200);
// How long an idle helper watches for the next batch before sleeping. Chosen
// by measurement on a 2-core AMD EPYC (Zen 4): among 0, 100 and 1000 us, 100
// us gave the fastest sparse default run and the fastest d=2 dense run, and
// costs the scan that follows a product at most that much of one core.
constexpr auto kHelperSpin = std::chrono::microseconds(100);

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

struct Batch {
    std::atomic<int> remaining{0};  // queued jobs not yet finished
    std::mutex mutex;
    std::condition_variable done;
};

struct Task {
    openblas_dojob_callback dojob = nullptr;
    char* jobdata = nullptr;
    int index = 0;
    int dojob_data = 0;
    Batch* batch = nullptr;
};

struct HelperGroup {
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Task> queue;
    std::atomic<size_t> queued{0};  // queue.size(), readable without the mutex
    unsigned threads = 0;
    unsigned idle = 0;  // helpers waiting for a task
};

std::mutex g_group_mutex;  // guards g_group and its creation
HelperGroup* g_group = nullptr;
bool g_installed = false;

void finish(Batch& batch) {
    // The count drops under the batch mutex: a caller that sees it reach zero
    // (its spin reads it without the mutex) still takes the mutex before it
    // returns and destroys the batch, so it waits until this helper has let
    // go. Dropping it first let the caller destroy the mutex and condition
    // variable while the last helper was about to lock and signal them
    // (ThreadSanitizer saw it, rarely, in the concurrent-callers test).
    std::lock_guard<std::mutex> guard(batch.mutex);
    if (batch.remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) batch.done.notify_one();
}

void helper_loop(HelperGroup* group) {
    std::unique_lock<std::mutex> lock(group->mutex);
    for (;;) {
        if (group->queue.empty()) {
            lock.unlock();
            const auto spin_until = std::chrono::steady_clock::now() + kHelperSpin;
            while (group->queued.load(std::memory_order_acquire) == 0 &&
                   std::chrono::steady_clock::now() < spin_until) {
                cpu_relax();
            }
            lock.lock();
            group->work.wait(lock, [group] { return !group->queue.empty(); });
        }
        const Task task = group->queue.front();
        group->queue.pop_front();
        group->queued.store(group->queue.size(), std::memory_order_release);
        --group->idle;
        lock.unlock();
        task.dojob(task.index, task.jobdata, task.dojob_data);
        lock.lock();
        // Idle again before the batch can end: the caller's next product may
        // queue a job at once, and must count this helper as free for it.
        ++group->idle;
        finish(*task.batch);
    }
}

// Started with every signal blocked, so signals keep going to the
// interpreter's own threads. Requires the group mutex.
bool start_helper(HelperGroup& group) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
        std::thread(helper_loop, &group).detach();
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started) {
        ++group.threads;
        ++group.idle;
    }
    return started;
}

HelperGroup& get_group() {
    std::lock_guard<std::mutex> guard(g_group_mutex);
    if (g_group == nullptr) g_group = new HelperGroup;
    return *g_group;
}

void run_jobs(int /*sync*/, openblas_dojob_callback dojob, int numjobs, size_t jobdata_elsize, void* jobdata,
              int dojob_data) {
    // Every batch completes before the callback returns, whether or not the
    // library asked to wait for it.
    char* const data = static_cast<char*>(jobdata);
    if (numjobs <= 1) {
        if (numjobs == 1) dojob(0, data, dojob_data);
        return;
    }
    Batch batch;
    batch.remaining.store(numjobs - 1, std::memory_order_relaxed);
    HelperGroup& group = get_group();
    {
        std::unique_lock<std::mutex> lock(group.mutex);
        for (int i = 1; i < numjobs; ++i) {
            group.queue.push_back(Task{dojob, data + static_cast<size_t>(i) * jobdata_elsize, i, dojob_data, &batch});
        }
        group.queued.store(group.queue.size(), std::memory_order_release);
        // An idle helper for every queued job. A thread that cannot be
        // started now may be startable once the system has room again; in
        // the meantime busy helpers finish their own batches and come back.
        while (group.idle < group.queue.size()) {
            if (!start_helper(group)) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
            }
        }
        for (int i = 1; i < numjobs; ++i) group.work.notify_one();
    }
    dojob(0, data, dojob_data);

    const auto spin_until = std::chrono::steady_clock::now() + kCallerSpin;
    while (batch.remaining.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < spin_until) {
        cpu_relax();
    }
    std::unique_lock<std::mutex> lock(batch.mutex);
    batch.done.wait(lock, [&batch] { return batch.remaining.load(std::memory_order_acquire) == 0; });
}

// The calls in flight are waited for first: a product in flight takes the
// group mutex to queue its jobs, so holding that mutex while waiting would
// never end.
void before_fork() {
    calls_before_fork();
    g_group_mutex.lock();
}
void after_fork_in_parent() {
    g_group_mutex.unlock();
    calls_after_fork_in_parent();
}
void after_fork_in_child() {
    g_group = nullptr;  // leaked: see the file comment
    g_group_mutex.unlock();
    calls_after_fork_in_child();
}

[[gnu::constructor]] void install_at_load() {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    VANTREL_BLAS(openblas_set_threads_callback_function)(run_jobs);
    g_installed = true;
}

}  // namespace

bool blas_threads_installed() { return g_installed; }

void use_library_threads() { VANTREL_BLAS(openblas_set_threads_callback_function)(nullptr); }
void reinstall_blas_threads() { VANTREL_BLAS(openblas_set_threads_callback_function)(run_jobs); }

unsigned blas_helper_threads() {
    std::lock_guard<std::mutex> guard(g_group_mutex);
    if (g_group == nullptr) return 0;
    std::lock_guard<std::mutex> group_guard(g_group->mutex);
    return g_group->threads;
}

#else

namespace {
[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(calls_before_fork, calls_after_fork_in_parent, calls_after_fork_in_child);
}
}  // namespace

bool blas_threads_installed() { return false; }
void use_library_threads() {}
void reinstall_blas_threads() {}
unsigned blas_helper_threads() { return 0; }

#endif

}  // namespace vantrel
