// The Python face of vantrel: the module, the `tresk` function and its
// argument binding, the element-type dispatch, and the way back from the
// drivers' normalised float32 points to a list of lists of Python floats, in
// the precision of the caller's data.
//
// Two decisions shape this file. Arguments are bound by hand over the
// fast-call convention, so every binding message and the order in which
// conversions fail are fixed here and nowhere else. And the interpreter lock
// is released in exactly one small scope, around the driver, where no Python
// object is touched; every C++ exception is caught inside that scope, so the
// thread state is always restored before an exception is raised. Only
// standard exceptions are caught, anywhere: the code throws nothing else, and
// the forced unwind with which the interpreter ends a thread that wants the
// lock back while it finalizes (pthread_exit) must pass through untouched,
// since swallowing it aborts the process and the thread it unwinds has no
// thread state to raise anything with. The one exception to "no Python": a
// call from the main thread hands the driver a hook that, about every 0.1 s of
// work, takes the lock back just long enough to run due signal handlers, so
// Ctrl-C stops a long search.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <numpy/arrayobject.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "batching.hpp"
#include "interrupt.hpp"
#include "result.hpp"
#include "search.hpp"
#include "types.hpp"
#include "validation.hpp"

// The interpreter's test for "signal handlers run on this thread": the main
// thread the runtime records (the forking thread becomes it in a child) of the
// main interpreter. Python 3.13 took the declaration out of the public headers
// but still exports the function; declared weak, so that an interpreter
// without it still loads the module, and its calls just get no interrupt hook.
extern "C" int _PyOS_IsMainThread(void) __attribute__((weak));

namespace {

using namespace vantrel;

// Owns one strong reference; releases it on every path out of a scope.
class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject* object) : object_(object) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object = nullptr) {
        PyObject* old = object_;
        object_ = object;
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Parameters, docstring

constexpr const char* kFunctionName = "tresk";
constexpr Py_ssize_t kParameterCount = 10;
constexpr Py_ssize_t kMaxPositional = 8;  // batch_size and max_batches are keyword-only
constexpr Py_ssize_t kRequired = 2;       // data and y
constexpr const char* kParameterNames[kParameterCount] = {
    "data", "y", "n_points", "max_iter", "tol", "sparse", "parallel", "seed", "batch_size", "max_batches",
};
enum Parameter : int {
    kData, kY, kNPoints, kMaxIter, kTol, kSparse, kParallel, kSeed, kBatchSize, kMaxBatches,
};

constexpr uint64_t kDefaultNPoints = 1000;
constexpr uint64_t kDefaultMaxIter = 100;
constexpr double kDefaultTol = 1e-6;
constexpr bool kDefaultSparse = true;
constexpr bool kDefaultParallel = true;
constexpr uint64_t kDefaultBatchSize = 256;
constexpr uint64_t kDefaultMaxBatches = 20;

// The first line is the text signature the interpreter exposes as
// __text_signature__; "--" and the empty line end it.
constexpr const char kTreskDoc[] =
    "tresk(data, y, n_points=1000, max_iter=100, tol=1e-6, sparse=True, parallel=True, seed=None, *, "
    "batch_size=256, max_batches=20)\n"
    "--\n"
    "\n"
    "Tresk.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : np.ndarray, shape (n, d)\n"
    "    The dataset, float32 or float64. Computed internally in float32.\n"
    "y : list[int] or np.ndarray\n"
    "    Class labels per data point, length n.\n"
    "n_points : int, default 1000\n"
    "    Number of boundary points to request.\n"
    "max_iter : int, default 100\n"
    "    Maximum number of iterations.\n"
    "tol : float, default 1e-6\n"
    "    Per-point convergence threshold on squared displacement.\n"
    "sparse : bool, default True\n"
    "    If True, sample in batches until n_points distinct neighboring data\n"
    "    pairs are found or max_batches is reached.\n"
    "parallel : bool, default True\n"
    "    If True, use rayon parallelism for per-point projection.\n"
    "seed : int or None, default None\n"
    "    Random seed for reproducibility. If None, uses entropy.\n"
    "batch_size : int, default 256\n"
    "    Maximum number of query points in each sparse batch.\n"
    "max_batches : int, default 20\n"
    "    Hard limit on sparse batches.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "list[list[float]]\n"
    "    Sampled boundary points, each of length d. With sparse=True, the\n"
    "    result can be shorter than n_points when max_batches is reached.";

// ---------------------------------------------------------------------------
// Exceptions

// Takes the pending exception as one normalised object (nullptr if none).
OwnedRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return OwnedRef();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef(value);
#endif
}

void restore_exception(OwnedRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// A conversion that failed with exactly TypeError is re-raised as
// "argument '<name>': <message>" with the original as its cause; any other
// exception (OverflowError, MemoryError, a TypeError subclass) passes as is.
void wrap_argument_error(const char* name) {
    OwnedRef error = take_exception();
    if (!error) return;
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(error));
        return;
    }
    OwnedRef message(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
    if (!message) return;
    OwnedRef wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    PyException_SetCause(wrapped.get(), error.release());  // steals the cause
    restore_exception(std::move(wrapped));
}

// An error message of an internal operation as the matching exception.
PyObject* raise_error(const Error& error) {
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind) {
        case ErrorKind::invalid_input:
            type = PyExc_ValueError;
            break;
        case ErrorKind::out_of_memory:
            type = PyExc_MemoryError;
            break;
        case ErrorKind::internal:
        case ErrorKind::interrupted:  // a stop without a handler's exception breaks an invariant
            type = PyExc_RuntimeError;
            break;
    }
    PyErr_SetString(type, error.message.c_str());
    return nullptr;
}

PyObject* raise_memory_error(const char* message) {
    PyErr_SetString(PyExc_MemoryError, message);
    return nullptr;
}

// The type's __name__ (new reference), for messages about a refused object.
OwnedRef type_name(PyObject* object) { return OwnedRef(PyType_GetName(Py_TYPE(object))); }

// ---------------------------------------------------------------------------
// Argument binding

// Maps the fast-call arguments onto the ten parameter slots (borrowed
// references; nullptr where a parameter was not given).
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* slots[]) {
    if (nargs > kMaxPositional) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                     kFunctionName, kRequired, kMaxPositional, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t p = 0; p < kParameterCount && PyUnicode_Check(keyword); ++p) {
            if (PyUnicode_CompareWithASCIIString(keyword, kParameterNames[p]) == 0) {
                index = p;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", kFunctionName, keyword);
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", kFunctionName,
                         kParameterNames[index]);
            return false;
        }
        slots[index] = args[nargs + k];
    }

    const bool missing_data = slots[kData] == nullptr;
    const bool missing_y = slots[kY] == nullptr;
    if (missing_data && missing_y) {
        PyErr_Format(PyExc_TypeError, "%s() missing 2 required positional arguments: 'data' and 'y'", kFunctionName);
        return false;
    }
    if (missing_data || missing_y) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", kFunctionName,
                     missing_data ? "data" : "y");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Conversions; each returns false with a Python exception set.

bool next_item(PyObject* iterator, OwnedRef& item) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* next = nullptr;
    const int status = PyIter_NextItem(iterator, &next);
    item.reset(next);
    return status >= 0;
#else
    item.reset(PyIter_Next(iterator));
    return item || !PyErr_Occurred();
#endif
}

// Labels: any sequence but str, each item through the integer-index protocol.
bool convert_labels(PyObject* object, std::vector<int64_t>& labels) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        OwnedRef name = type_name(object);
        if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", name.get());
        return false;
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();  // only a capacity hint
    } else {
        try {
            labels.reserve(static_cast<size_t>(length));
        } catch (const std::exception&) {
            // A length the sequence cannot back up; grow as items arrive.
        }
    }
    OwnedRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    OwnedRef item;
    while (true) {
        if (!next_item(iterator.get(), item)) return false;
        if (!item) return true;
        const long value = PyLong_AsLong(item.get());
        if (value == -1 && PyErr_Occurred()) return false;
        labels.push_back(static_cast<int64_t>(value));
    }
}

// Non-negative integers below 2^64: an int (or subclass, so bool) is read
// directly, anything else goes through __index__ first.
bool convert_u64(PyObject* object, uint64_t& out) {
    OwnedRef index;
    PyObject* number = object;
    if (!PyLong_Check(object)) {
        index.reset(PyNumber_Index(object));
        if (!index) return false;
        number = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<uint64_t>(value);
    return true;
}

bool convert_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// NumPy's boolean scalar, recognised without importing NumPy: its type lives
// in module "numpy" and is named "bool" (NumPy 2) or "bool_" (NumPy 1).
bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    OwnedRef module(PyObject_GetAttrString(type, "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    OwnedRef name = type_name(object);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// A bool or a NumPy bool scalar; integers are refused so that a stray
// positional number is not taken for a flag.
bool convert_bool(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    OwnedRef name = type_name(object);
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", name.get());
    return false;
}

bool convert_seed(PyObject* object, std::optional<uint64_t>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    uint64_t value = 0;
    if (!convert_u64(object, value)) return false;
    out = value;
    return true;
}

// ---------------------------------------------------------------------------
// Element type and preparation

// The NumPy API table, fetched by the first call that needs it. Calls may run
// without a global interpreter lock, so the fetch, which writes NumPy's table
// pointer, is made by one thread at a time under g_numpy_api_mutex, and a
// call sees the table only through the acquire load of g_numpy_api_ready
// (set once the fetch and its version checks have succeeded).
std::atomic<bool> g_numpy_api_ready{false};
pthread_mutex_t g_numpy_api_mutex = PTHREAD_MUTEX_INITIALIZER;

// A fork while another thread fetches would leave the mutex locked in the
// child, where that thread does not exist. The handler is registered at load
// time, before any call can take the mutex.
void reset_numpy_api_mutex_in_child() {
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_numpy_api_mutex = fresh;
}
[[gnu::constructor]] void register_numpy_api_fork_handler() {
    pthread_atfork(nullptr, nullptr, reset_numpy_api_mutex_in_child);
}

// Releases the mutex on every path, the forced unwind of interpreter exit
// included.
struct NumpyApiMutexHeld {
    NumpyApiMutexHeld() = default;
    NumpyApiMutexHeld(const NumpyApiMutexHeld&) = delete;
    NumpyApiMutexHeld& operator=(const NumpyApiMutexHeld&) = delete;
    ~NumpyApiMutexHeld() { pthread_mutex_unlock(&g_numpy_api_mutex); }
};

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

bool ensure_numpy_api() {
    if (g_numpy_api_ready.load(std::memory_order_acquire)) return true;
    // The thread fetching may be waiting for the interpreter (the fetch can
    // import NumPy), so a thread that has to wait for it does so without its
    // thread state.
    const bool uncontended = pthread_mutex_trylock(&g_numpy_api_mutex) == 0;
    PyThreadState* thread_state = uncontended ? nullptr : PyEval_SaveThread();
    if (!uncontended) pthread_mutex_lock(&g_numpy_api_mutex);
    NumpyApiMutexHeld held;
    if (!uncontended) PyEval_RestoreThread(thread_state);

    if (g_numpy_api_ready.load(std::memory_order_relaxed)) return true;
    if (_import_array() < 0) {
        // A first call made while the interpreter shuts down finds the import
        // system gone; say that, not what the import machinery complains of.
        if (interpreter_finalizing()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "tresk cannot load NumPy's array API while the interpreter shuts down; "
                            "a call made before then loads it for the rest of the process");
        }
        return false;
    }
    g_numpy_api_ready.store(true, std::memory_order_release);
    return true;
}

// A two-dimensional array whose dtype is equivalent to the given type, in the
// machine's byte order or the other one (`swapped`; the reader swaps bytes).
bool is_matrix_of(PyObject* object, int type_number, bool& swapped) {
    if (!PyArray_Check(object)) return false;
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) return false;
    OwnedRef native(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
    if (!native) {
        PyErr_Clear();
        return false;
    }
    PyArray_Descr* native_descr = reinterpret_cast<PyArray_Descr*>(native.get());
    if (PyArray_EquivTypes(PyArray_DESCR(array), native_descr)) {
        swapped = false;
        return true;
    }
    OwnedRef other(reinterpret_cast<PyObject*>(PyArray_DescrNewByteorder(native_descr, NPY_SWAP)));
    if (!other) {
        PyErr_Clear();
        return false;
    }
    swapped = PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(other.get())) != 0;
    return swapped;
}

// Reads the caller's array in place through NumPy's shape and strides.
template <class T>
Result<PreparedInput> prepare_array(PyObject* object, bool swapped, std::span<const int64_t> y,
                                    uint64_t query_count, uint64_t max_iter, double tol) {
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    StridedMatrix<T> view;
    view.base = static_cast<const char*>(PyArray_DATA(array));
    view.rows = static_cast<uint64_t>(dims[0]);
    view.cols = static_cast<uint64_t>(dims[1]);
    view.row_stride = static_cast<int64_t>(strides[0]);
    view.col_stride = static_cast<int64_t>(strides[1]);
    view.swapped = swapped;
    try {
        return prepare<T>(view, y, query_count, max_iter, tol);
    } catch (const std::bad_alloc&) {
        return out_of_memory("not enough memory to prepare the data");
    } catch (const std::length_error&) {
        return out_of_memory("not enough memory to prepare the data");
    }
}

// ---------------------------------------------------------------------------
// Signals while the driver runs

// Python runs signal handlers only in the main thread of the main interpreter.
// A call from anywhere else gets no interrupt hook, so it never takes the lock
// back mid-run and ends as it would without signals. The answer is the
// interpreter's own test (declared at the top of this file): nothing is
// imported, so a call made while the interpreter shuts down, when imports
// fail, still runs, and no call pays for an import lookup.
bool runs_signal_handlers() { return _PyOS_IsMainThread != nullptr && _PyOS_IsMainThread() != 0; }

// The interrupt hook's state: the calling thread's state, and the exception a
// signal handler raised, held until the driver has returned and the lock is
// back for good (it is released only with the lock held).
struct SignalCheck {
    PyThreadState* thread_state = nullptr;
    OwnedRef raised;
};

// Takes the lock, runs the signal handlers that are due and releases the lock
// again; asks the driver to stop when a handler raised. A handler that returns
// (or an ignored signal) lets the run go on. Not noexcept, like everything
// between here and the binding, so the forced unwind of a thread the
// interpreter ends while it waits for the lock passes through unchanged.
bool run_signal_handlers(void* context) {
    SignalCheck& check = *static_cast<SignalCheck*>(context);
    PyEval_RestoreThread(check.thread_state);
    if (PyErr_CheckSignals() < 0) check.raised = take_exception();
    PyEval_SaveThread();
    return static_cast<bool>(check.raised);
}

// ---------------------------------------------------------------------------
// Driver, with the interpreter lock released

struct DriverRun {
    std::vector<float> points;  // normalised, row-major
    std::optional<Error> error;
    enum class Thrown { nothing, memory, other } thrown = Thrown::nothing;
    std::string what;
};

// Runs on the calling thread without the interpreter lock: touches no Python
// object and lets no standard exception escape. (Not noexcept: a forced
// unwind must be able to end the thread from in here.)
void run_driver(PreparedInput& input, DriverRun& run, bool sparse, uint64_t n_points, uint64_t max_iter,
                bool parallel, std::optional<uint64_t> seed, uint64_t batch_size, uint64_t max_batches,
                const InterruptHook& interrupt) {
    try {
        if (!sparse) {
            Result<std::vector<float>> result = tresk_core(n_points, input.n, input.d, input.data.data(),
                                                           input.scaled_tol, input.labels.data(), max_iter,
                                                           parallel, seed, interrupt);
            if (result) {
                run.points = std::move(result).value();
            } else {
                run.error = result.error();
            }
        } else {
            BatchSettings settings;
            settings.seed = seed;
            settings.n_points = n_points;
            settings.batch_size = batch_size;
            settings.max_batches = max_batches;
            settings.max_iter = max_iter;
            settings.scaled_tol = input.scaled_tol;
            settings.parallel = parallel;
            settings.interrupt = interrupt;
            Result<BatchedResult> result = tresk_batched_core(input.n, input.d, input.data, input.labels, settings);
            if (result) {
                run.points = std::move(std::move(result).value().points);
            } else {
                run.error = result.error();
            }
        }
    } catch (const std::bad_alloc&) {
        run.thrown = DriverRun::Thrown::memory;
    } catch (const std::length_error&) {  // a buffer longer than a vector can hold
        run.thrown = DriverRun::Thrown::memory;
    } catch (const std::exception& e) {
        run.thrown = DriverRun::Thrown::other;
        try {
            run.what = e.what();
        } catch (const std::bad_alloc&) {
        }
    }
    // The driver is done with these; free them before the result is built.
    std::vector<float>().swap(input.data);
    std::vector<uint64_t>().swap(input.labels);
}

// ---------------------------------------------------------------------------
// The way back

PyObject* build_point_list(std::span<const double> values, uint64_t m, uint64_t d) {
    if (m > static_cast<uint64_t>(PY_SSIZE_T_MAX) || d > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        return raise_memory_error("too many result points");
    }
    OwnedRef result(PyList_New(static_cast<Py_ssize_t>(m)));
    if (!result) return nullptr;
    for (uint64_t i = 0; i < m; ++i) {
        OwnedRef row(PyList_New(static_cast<Py_ssize_t>(d)));
        if (!row) return nullptr;
        for (uint64_t j = 0; j < d; ++j) {
            OwnedRef value(PyFloat_FromDouble(values[i * d + j]));
            if (!value) return nullptr;
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), value.release());
        }
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// The entry function on converted values

PyObject* tresk_py(PyObject* data, std::vector<int64_t> y, uint64_t n_points, uint64_t max_iter, bool sparse,
                   double tol, bool parallel, std::optional<uint64_t> seed, uint64_t batch_size,
                   uint64_t max_batches) {
    if (n_points == 0) {
        PyErr_SetString(PyExc_ValueError, "n_points must be greater than zero");
        return nullptr;
    }
    if (sparse) {
        if (batch_size == 0) {
            PyErr_SetString(PyExc_ValueError, "batch_size must be greater than zero");
            return nullptr;
        }
        if (max_batches == 0) {
            PyErr_SetString(PyExc_ValueError, "max_batches must be greater than zero");
            return nullptr;
        }
    }

    if (!ensure_numpy_api()) return nullptr;
    // One convergence run moves this many start points at a time.
    const uint64_t query_count = sparse ? batch_size : n_points;
    std::optional<Result<PreparedInput>> prepared;
    bool swapped = false;
    if (is_matrix_of(data, NPY_FLOAT32, swapped)) {
        prepared.emplace(prepare_array<float>(data, swapped, y, query_count, max_iter, tol));
    } else if (is_matrix_of(data, NPY_FLOAT64, swapped)) {
        prepared.emplace(prepare_array<double>(data, swapped, y, query_count, max_iter, tol));
    } else {
        PyErr_SetString(PyExc_TypeError, "data must be a two-dimensional NumPy array with dtype float32 or float64");
        return nullptr;
    }
    // Nothing below touches the caller's array or labels.
    std::vector<int64_t>().swap(y);
    if (!prepared->ok()) return raise_error(prepared->error());
    PreparedInput input = std::move(*prepared).value();
    prepared.reset();

    SignalCheck signals;
    InterruptHook interrupt;
    if (runs_signal_handlers()) {
        signals.thread_state = PyThreadState_Get();
        interrupt.stop_requested = run_signal_handlers;
        interrupt.context = &signals;
    }

    DriverRun run;
    PyThreadState* thread_state = PyEval_SaveThread();
    run_driver(input, run, sparse, n_points, max_iter, parallel, seed, batch_size, max_batches, interrupt);
    PyEval_RestoreThread(thread_state);

    // A handler's exception is the call's outcome; the stopped driver has freed everything.
    if (signals.raised) {
        restore_exception(std::move(signals.raised));
        return nullptr;
    }

    if (run.thrown == DriverRun::Thrown::memory) return raise_memory_error("not enough memory for the search");
    if (run.thrown == DriverRun::Thrown::other) {
        PyErr_SetString(PyExc_RuntimeError, run.what.empty() ? "internal error in the search" : run.what.c_str());
        return nullptr;
    }
    if (run.error) return raise_error(*run.error);

    const uint64_t d = input.d;
    const uint64_t m = run.points.size() / d;
    uint64_t value_count = 0;
    if (!checked_mul(m, d, value_count)) return raise_memory_error("too many result points");

    std::vector<double> rows;
    try {
        rows = denormalize_points(std::span<const float>(run.points).first(value_count), d, input.center,
                                  input.scale, input.element);
    } catch (const std::bad_alloc&) {
        return raise_memory_error("not enough memory for the result");
    } catch (const std::length_error&) {
        return raise_memory_error("not enough memory for the result");
    }
    std::vector<float>().swap(run.points);
    // Before the warning: a refused result does not also warn.
    if (Status range = check_points_finite(rows, input.element); !range) return raise_error(range.error());

    if (sparse && m < n_points) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "requested %llu distinct boundary points, but found %llu before reaching max_batches=%llu",
                      static_cast<unsigned long long>(n_points), static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(max_batches));
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) return nullptr;
    }
    return build_point_list(rows, m, d);
}

// The binding wrapper: binds, converts in parameter order, then hands over.
// It has no catch-all: the interpreter may end this thread at exit from inside
// PyEval_RestoreThread, and that unwind has to reach the thread's end.
PyObject* tresk_binding(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* slots[kParameterCount] = {};
        if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;

        std::vector<int64_t> y;
        uint64_t n_points = kDefaultNPoints;
        uint64_t max_iter = kDefaultMaxIter;
        double tol = kDefaultTol;
        bool sparse = kDefaultSparse;
        bool parallel = kDefaultParallel;
        std::optional<uint64_t> seed;
        uint64_t batch_size = kDefaultBatchSize;
        uint64_t max_batches = kDefaultMaxBatches;

        // Each conversion runs only for a parameter that was given.
        auto converted = [&slots](int parameter, auto&& convert) {
            if (slots[parameter] == nullptr || convert(slots[parameter])) return true;
            wrap_argument_error(kParameterNames[parameter]);
            return false;
        };
        if (!converted(kY, [&](PyObject* o) { return convert_labels(o, y); }) ||
            !converted(kNPoints, [&](PyObject* o) { return convert_u64(o, n_points); }) ||
            !converted(kMaxIter, [&](PyObject* o) { return convert_u64(o, max_iter); }) ||
            !converted(kTol, [&](PyObject* o) { return convert_double(o, tol); }) ||
            !converted(kSparse, [&](PyObject* o) { return convert_bool(o, sparse); }) ||
            !converted(kParallel, [&](PyObject* o) { return convert_bool(o, parallel); }) ||
            !converted(kSeed, [&](PyObject* o) { return convert_seed(o, seed); }) ||
            !converted(kBatchSize, [&](PyObject* o) { return convert_u64(o, batch_size); }) ||
            !converted(kMaxBatches, [&](PyObject* o) { return convert_u64(o, max_batches); })) {
            return nullptr;
        }
        return tresk_py(slots[kData], std::move(y), n_points, max_iter, sparse, tol, parallel, seed, batch_size,
                        max_batches);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef kTreskMethod = {
    kFunctionName,
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tresk_binding)),
    METH_FASTCALL | METH_KEYWORDS,
    kTreskDoc,
};

// Adds `tresk` bound to the module and lists it in __all__, and sets
// __version__ (the package version, handed over by the build).
int vantrel_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "vantrel can only be initialised on a module object");
        return -1;
    }
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    OwnedRef function(PyCMethod_New(&kTreskMethod, module, module_name.get(), nullptr));
    if (!function) return -1;
    OwnedRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", VANTREL_VERSION) < 0) return -1;

    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "vantrel.__all__ must be a list");
        return -1;
    }
    return PyList_Append(all.get(), name.get());
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vantrel_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vantrel",     // m_name
    "",            // m_doc: an empty docstring, not None
    0,             // m_size: no per-module state
    nullptr,       // m_methods: the exec slot adds the function
    kModuleSlots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_vantrel(void) { return PyModuleDef_Init(&kModuleDef); }
