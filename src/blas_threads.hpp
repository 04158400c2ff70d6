// Threads for the BLAS library's own parallel work inside one product call.
//
// OpenBLAS splits a large product into jobs that must all run at the same
// time (its jobs wait on each other's packed panels). On its own threads, each
// job's thread then spins for about 0.1 s before it sleeps, so every product
// left a core busy through the scan that follows it, and the worker pool's
// scan threads got half a core. With the library's threading callback the
// jobs run on the calling thread and on helper threads of this module, which
// sleep as soon as their job is done. OpenBLAS still decides how many jobs a
// product gets (its thread setting: OPENBLAS_NUM_THREADS, threadpoolctl), so
// the split, and with it every product value, is what its own threads give.
//
// Fork: a fork while another thread is inside the BLAS leaves the child with
// the library's locks held by a thread it does not have, and its next product
// hangs. Every call into the BLAS therefore holds a BlasCall, and a fork
// handler waits until no call is in flight (and holds new ones back) before
// the process forks. At exit, the same wait comes before the library's own
// clean-up, and no call starts after it.
#pragma once

namespace vantrel {

// Held for the length of one call into the BLAS. Calls from several threads
// may overlap; only a fork waits for them.
struct BlasCall {
    BlasCall();
    ~BlasCall();
    BlasCall(const BlasCall&) = delete;
    BlasCall& operator=(const BlasCall&) = delete;
};

// True when the callback is installed: it is, at load, when the library has
// the callback (OpenBLAS 0.3.27 and later) and the build did not turn it off
// (VANTREL_BLAS_CALLBACK=OFF, kept for comparisons).
bool blas_threads_installed();

// For tests that compare with the library's own threads: hands the library
// its own threads back, and the callback again.
void use_library_threads();
void reinstall_blas_threads();

// Helper threads started so far (they stay for the life of the process).
unsigned blas_helper_threads();

}  // namespace vantrel
