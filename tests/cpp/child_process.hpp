// Forked children for tests, bounded by the parent.
//
// A child that hangs cannot be trusted to end itself: one stuck on a lock
// taken in a runtime's signal-safe section has nearly every signal blocked, so
// an alarm inside it never fires and SIGTERM does nothing. So the parent keeps
// the deadline. run_in_child makes the child lead a process group that its own
// children join; past the deadline the parent SIGKILLs the whole group, the
// test fails with a status that says so, and no process is left to hold
// CTest's output pipe. Every child also dies with the process that forked it
// (PR_SET_PDEATHSIG), which covers a test process that CTest's own timeout
// kills first.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace vantrel::test {

// ThreadSanitizer does not support starting threads in the child of a
// multi-threaded fork: a parent thread that the child does not have may hold
// the runtime's allocator lock at the fork, and the child's first thread
// creation then waits on it for ever (die_after_fork=0 only silences the
// check). Tests whose children start threads after such a fork skip
// themselves there; the normal and the AddressSanitizer builds run them.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadsAfterForkSupported = false;
#else
inline constexpr bool kThreadsAfterForkSupported = true;
#endif
inline constexpr const char* kThreadsAfterForkUnsupported =
    "threads started after a multi-threaded fork hang under the thread sanitizer";

// Status of a child killed at its deadline; a child that did not exit
// normally otherwise gives -1.
inline constexpr int kTimedOut = -2;
inline constexpr std::chrono::seconds kChildDeadline{60};

// fork() whose child is killed when the thread that forked it ends (its
// process exiting included).
inline pid_t fork_tied_to_parent() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the parent died before the line above
    }
    return pid;
}

// The exit status of pid, or -1 when it did not exit normally.
inline int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs work() (returning an exit status, 0 for success) in a forked child in
// a process group of its own, and returns its exit status; -1 when it did not
// exit normally, kTimedOut when the group was killed at the deadline.
template <class F>
int run_in_child(F work, std::chrono::milliseconds deadline = kChildDeadline) {
    const pid_t pid = fork_tied_to_parent();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        _exit(work());
    }
    setpgid(pid, pid);  // as the child does: whichever runs first, the group exists before any kill
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= until) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kTimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);  // anything the child left running in its group
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vantrel::test
