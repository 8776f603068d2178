// The CPython extension module `_orvinta`: the simulation engine `kelvane`
// as nine Python classes.
//
// Layout, top to bottom: the compatibility layer and includes; owned
// references and text building; the bridge from C++ faults to Python
// exceptions; NumPy's C interface, reached through its `_ARRAY_API` capsule;
// argument binding and conversion; one block per class (its parameter
// table, `__new__`, getter or method, slot list); the class registry; the
// exec step; the two exported entry points.
//
// Conventions of every function below:
// - Python errors follow CPython's convention: a `false`, null or -1 result
//   means a Python exception is set.
// - Broken invariants go through `kelvane::fault` (report on standard error,
//   then a thrown `kelvane::Fault`); every function CPython calls catches
//   every C++ exception and turns it into a Python one (`guarded`), except
//   the forced unwind that ends a thread (below).
// - Nothing of Python is touched while the interpreter lock is released.
// - A thread may be ended inside any call that can take the interpreter
//   lock back: releasing it around a batch, and every call that runs Python
//   code (`__float__`, `__index__`, iteration, `str()`, an import), since the
//   interpreter's loop gives the lock up and retakes it between bytecodes.
//   CPython 3.11 to 3.13 end a thread that retakes the lock while the
//   interpreter finalizes (a daemon thread still in a batch at exit) with
//   `pthread_exit`, which unwinds it with `abi::__forced_unwind` to its
//   start; 3.14 and later park such a thread for good instead. That unwind
//   must pass through this module untouched: every catch-all rethrows it
//   first, and no function on a path that can run Python code is
//   `noexcept` (a forced unwind leaving a `noexcept` function ends the
//   process in `std::terminate`). The functions that stay `noexcept` (the
//   deallocators, the capsule destructor, the two exported entry points)
//   never run Python code. While such a thread unwinds it does not hold the
//   lock, so the holders below then leave what they own alone.

#include "compat.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kelvane/config.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"
#include "kelvane/input.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/state.hpp"

namespace {

namespace config = kelvane::config;
namespace input = kelvane::input;
namespace sim = kelvane::sim;
namespace state = kelvane::state;

// ===========================================================================
// Owned references and text

// A holder's destructor runs no Python code and touches nothing of the
// interpreter without its lock:
// - It may run while a thread that the finalizing interpreter ended unwinds
//   (see the conventions above), which does not hold the lock. The
//   interpreter is going away, so the holder leaves what it owns as it is:
//   releasing it without the lock would race the thread that finalizes.
// - Dropping the last reference to an object can run Python code (its
//   `__del__`, a weak-reference callback), which can end the thread; a
//   forced unwind leaving a destructor (`noexcept`), or starting while
//   another exception unwinds, ends the process. So a holder puts a last
//   reference on a list, which the entry point drops in ordinary code when
//   its work is over (`release_deferred`, from `guarded`); any other
//   reference is dropped at once, which cannot free anything.

// The thread state this thread's innermost running entry point (`guarded`)
// began with, or null outside every entry point. Written and read by this
// thread only.
thread_local PyThreadState* entry_thread_state = nullptr;

// True when this thread holds the interpreter lock: the thread state its
// innermost entry point began with is the interpreter's current one. An
// entry point begins with the lock held, so the state it records is this
// thread's own, whoever made it: the interpreter (a `threading` thread,
// `PyGILState_Ensure`) or an embedder (`PyThreadState_New`, then
// `PyThreadState_Swap`). A thread that gave the lock up inside the entry
// point passes again only once it has taken the lock back with that state;
// a thread that the finalizing interpreter ends never has, so it fails. The
// current state is read without its null check, as null is a valid answer
// here (no thread holds the lock), and only compared, never followed: the
// state recorded by an ended thread may already be freed.
// `PyGILState_Check` answers neither case: 3.11 answers true in every
// process that has made a sub-interpreter and for threads ended late in
// finalization, and false on an embedder's own thread state.
bool holds_interpreter_lock() {
    return entry_thread_state != nullptr && PyThreadState_GetUnchecked() == entry_thread_state;
}

// Marks the extent of one entry point on this thread for
// `holds_interpreter_lock`; the enclosing entry point's state comes back
// when it ends, also when a forced unwind passes. Made with the lock held.
class EntryScope {
public:
    EntryScope() : enclosing_(std::exchange(entry_thread_state, PyThreadState_GetUnchecked())) {}
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
    ~EntryScope() { entry_thread_state = enclosing_; }

private:
    PyThreadState* enclosing_;
};

// Last references that holders gave up, waiting for `release_deferred`.
// Owned. Touched only with the interpreter lock held, which serialises the
// threads; a thread may drop what another gave up, whose holder is gone.
// The list is made on first use and never destroyed: daemon threads may
// still run while the process's exit destroys static objects.
std::vector<PyObject*>& deferred_references() {
    static auto* const list = new std::vector<PyObject*>();
    return *list;
}

// Gives up `owned` (a reference the caller owns; null accepted) at the end
// of a holder's life, without running Python code: left alone without the
// lock, dropped at once unless it is the last, otherwise put on the list.
// Should the list not grow (out of memory), the last reference is dropped
// at once after all.
void give_up(PyObject* owned) noexcept {
    if (owned == nullptr || !holds_interpreter_lock()) return;
    if (Py_REFCNT(owned) > 1) {
        Py_DECREF(owned);
        return;
    }
    try {
        deferred_references().push_back(owned);
    } catch (const std::exception&) {
        Py_DECREF(owned);
    }
}

// Drops every reference on the list, with the lock held. Ordinary code: the
// Python code this may run may end the thread, and what is still listed
// then waits for the next entry point that finishes, on any thread.
void release_deferred() {
    std::vector<PyObject*>& list = deferred_references();
    while (!list.empty()) {
        PyObject* owned = list.back();
        list.pop_back();
        Py_DECREF(owned);
    }
}

// One owned (strong) reference, given up (`give_up`) when the holder goes.
class Ref {
public:
    Ref() = default;
    // Takes over `owned` (a new reference, or null).
    explicit Ref(PyObject* owned) : object_(owned) {}
    // A new reference to `borrowed`.
    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { give_up(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    // Drops the reference now, in ordinary code: unlike the destructor, this
    // may run Python code. Lock held.
    void reset() { Py_XDECREF(std::exchange(object_, nullptr)); }

private:
    PyObject* object_ = nullptr;
};

// Builds one `str` from UTF-8 pieces and the `str()` of objects. After the
// first failure every further write is skipped and `finish` returns null
// with that failure's exception set. The writer holds only text (its
// release runs no Python code) in the interpreter's memory, which an ended
// thread's unwind leaves alone.
class TextBuilder {
public:
    TextBuilder() : writer_(PyUnicodeWriter_Create(0)) {}
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder() {
        if (writer_ != nullptr && holds_interpreter_lock()) PyUnicodeWriter_Discard(writer_);
    }

    TextBuilder& utf8(std::string_view text) {
        if (writer_ != nullptr && ok_) {
            ok_ = PyUnicodeWriter_WriteUTF8(writer_, text.data(),
                                            static_cast<Py_ssize_t>(text.size())) == 0;
        }
        return *this;
    }
    TextBuilder& str(PyObject* object) {
        if (writer_ != nullptr && ok_) ok_ = PyUnicodeWriter_WriteStr(writer_, object) == 0;
        return *this;
    }
    // The text (a new reference), or null with an exception set.
    Ref finish() {
        if (writer_ == nullptr || !ok_) return Ref();
        return Ref(PyUnicodeWriter_Finish(std::exchange(writer_, nullptr)));
    }

private:
    PyUnicodeWriter* writer_;
    bool ok_ = true;
};

// Raises `type` with the single argument `text`. When `text` is null its
// own exception is already set and stays. Always returns false.
bool raise_text(PyObject* type, Ref text) {
    if (text) PyErr_SetObject(type, text.get());
    return false;
}

// Raises `type` with the single argument `message` (UTF-8). Always false.
bool raise_message(PyObject* type, const std::string& message) {
    return raise_text(type, Ref(PyUnicode_FromStringAndSize(
                                message.data(), static_cast<Py_ssize_t>(message.size()))));
}

// The qualified name of `type` (a new reference); when it cannot be
// obtained, the stand-in "<failed to extract type name>" with the lookup's
// error discarded. Null only when not even the stand-in can be made.
Ref qualified_name(PyTypeObject* type) {
    Ref name(PyType_GetQualName(type));
    if (name) return name;
    PyErr_Clear();
    return Ref(PyUnicode_FromString("<failed to extract type name>"));
}

// Raises the `TypeError` for `object` not being an instance of `required`:
// "'float' object is not an instance of 'ndarray'", or for None "'None' is
// not an instance of 'ndarray'". Always returns false.
bool raise_type_mismatch(PyObject* object, PyTypeObject* required) {
    Ref required_name = qualified_name(required);
    if (!required_name) return false;
    TextBuilder text;
    if (object == Py_None) {
        text.utf8("'None' is not an instance of '");
    } else {
        Ref found_name = qualified_name(Py_TYPE(object));
        if (!found_name) return false;
        text.utf8("'").str(found_name.get()).utf8("' object is not an instance of '");
    }
    text.str(required_name.get()).utf8("'");
    return raise_text(PyExc_TypeError, text.finish());
}

// "Type: message" of the raised exception, which is taken out of the thread
// state (the indicator is clear afterwards). For the reports of faults.
std::string take_exception_text() {
    Ref error(PyErr_GetRaisedException());
    if (!error) return "unknown error";
    std::string text;
    Ref type_name = qualified_name(Py_TYPE(error.get()));
    const char* utf8 = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
    text += utf8 != nullptr ? utf8 : "<unknown type>";
    Ref message(PyObject_Str(error.get()));
    utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    text += ": ";
    text += utf8 != nullptr ? utf8 : "<unprintable message>";
    PyErr_Clear();
    return text;
}

// ===========================================================================
// Faults into Python exceptions

// `PanicException`, created on the first fault of the process and kept.
PyObject* panic_exception = nullptr;

constexpr const char* panic_exception_doc =
    "Raised when the module's native code meets a broken invariant.\n\n"
    "Like `SystemExit`, it derives from `BaseException` rather than `Exception`, so it "
    "typically\npropagates all the way up the stack and ends the interpreter.";

// Raises `PanicException` with the single argument `message` (UTF-8). When
// the type cannot be made, that failure's exception is raised instead.
void raise_panic(std::string_view message) {
    PyErr_Clear();
    if (panic_exception == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc("builtins.PanicException",
                                                      panic_exception_doc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) return;
        // Another thread may have made it meanwhile: keep the first.
        if (panic_exception == nullptr) {
            panic_exception = created;
        } else {
            Py_DECREF(created);
        }
    }
    raise_text(panic_exception, Ref(PyUnicode_FromStringAndSize(
                                    message.data(), static_cast<Py_ssize_t>(message.size()))));
}

// True inside a handler that has caught the forced unwind ending this
// thread. That unwind is no C++ exception object: the C++ runtime hands it
// to `catch (...)` without any object, so `std::current_exception` has
// none to give, while everything this program throws (the engine's faults,
// the C++ library's exceptions) is an object. A handler that named the
// unwind's type (`abi::__forced_unwind&`) would bind a reference to that
// missing object, which the undefined-behaviour sanitizer reports.
bool is_forced_unwind() { return !std::current_exception(); }

// What a C++ exception that reached an entry point becomes in Python.
struct Failure {
    bool out_of_memory;   // `MemoryError`; otherwise `PanicException` with `message`
    std::string message;  // UTF-8
};

// The failure of the C++ exception being handled, never the forced unwind:
// a `kelvane::Fault` (already reported) keeps its message, `std::bad_alloc`
// is out of memory, anything else becomes a fault reported here; out of
// memory too when not even the message can be copied or the report written.
// Runs no Python code, so no thread can be ended inside the handler (a
// forced unwind caught while another exception is in hand ends the
// process). Call only inside a catch block.
Failure failure_of_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const kelvane::Fault& error) {
            return Failure{false, error.message()};
        } catch (const std::bad_alloc&) {
            return Failure{true, {}};
        } catch (const std::exception& error) {
            kelvane::report_fault(error.what(), std::source_location::current());
            return Failure{false, error.what()};
        } catch (...) {
            constexpr const char* message = "native code threw an exception of unknown type";
            kelvane::report_fault(message, std::source_location::current());
            return Failure{false, message};
        }
    } catch (...) {
        return Failure{true, {}};
    }
}

// Runs `body`; when it throws, raises the matching Python exception and
// returns `failure`; then drops the references that holders gave up
// meanwhile. Every function that CPython calls runs inside one. A forced
// unwind is not an exception of the call but the end of the thread: it goes
// on, untouched, to the thread's start (the C++ runtime aborts the process
// when one is caught and not rethrown), so this is not `noexcept`. The
// Python exception is raised after the handler has ended: raising it and
// dropping the references can run Python code and so end the thread too.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) {
    EntryScope scope;
    Result result = failure;
    std::optional<Failure> failed;
    try {
        result = body();
    } catch (...) {
        if (is_forced_unwind()) throw;
        failed = failure_of_current_exception();
    }
    if (failed) {
        if (failed->out_of_memory) {
            PyErr_NoMemory();
        } else {
            raise_panic(failed->message);
        }
    }
    release_deferred();
    return result;
}

// ===========================================================================
// NumPy's C interface
//
// Reached through the capsule `_ARRAY_API` of NumPy's multiarray module: a
// table of function and type pointers at fixed positions. The positions and
// the array object's leading fields are part of NumPy's stable binary
// interface (the same in the 1.x and 2.x series). The element-type
// descriptor's own layout did change with 2.x, so no field of it is read
// here: descriptors are only compared as pointers and handed back to NumPy.

// The leading fields of a NumPy array object.
struct NdArrayObject {
    PyObject ob_base;
    char* data;               // first element
    int nd;                   // number of dimensions
    Py_ssize_t* dimensions;   // extents
    Py_ssize_t* strides;      // byte steps per dimension
    PyObject* base;
    PyObject* descr;          // element-type descriptor
    int flags;                // the array flags below
};

// Array flags.
constexpr int npy_array_c_contiguous = 0x0001;
constexpr int npy_array_f_contiguous = 0x0002;
constexpr int npy_array_aligned = 0x0100;
constexpr int npy_array_writeable = 0x0400;

// Element type numbers.
constexpr int npy_ulong = 8;    // unsigned long: 64 bits on the platform
constexpr int npy_float = 11;   // float32
constexpr int npy_double = 12;  // float64

// Positions in the C-API table.
constexpr std::size_t api_get_ndarray_c_version = 0;
constexpr std::size_t api_array_type = 2;
constexpr std::size_t api_descr_from_type = 45;
constexpr std::size_t api_new_from_descr = 94;
constexpr std::size_t api_equiv_types = 182;
constexpr std::size_t api_get_endianness = 210;
constexpr std::size_t api_get_ndarray_c_feature_version = 211;
constexpr std::size_t api_set_base_object = 282;

// The checks on the table's interface.
constexpr unsigned int max_abi_version = 0x2000000;  // the 1.x and 2.x series
constexpr unsigned int min_feature_version = 0xc;    // NumPy 1.15's C-API
constexpr int npy_cpu_little = 1;                    // the endianness this module is built for

// The entries this module uses, with their descriptors.
struct NumpyApi {
    PyTypeObject* ndarray;
    PyObject* (*descr_from_type)(int type_number);
    unsigned char (*equiv_types)(PyObject* a, PyObject* b);
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                                const Py_ssize_t* dims, const Py_ssize_t* strides, void* data,
                                int flags, PyObject* obj);
    int (*set_base_object)(PyObject* array, PyObject* base);
    PyObject* float32;  // descriptors, kept for the life of the process
    PyObject* float64;
    PyObject* uint64;
};

// Set on the first successful load and never released.
std::optional<NumpyApi> numpy_table;

// Hexadecimal text of `value`, lower case, without prefix.
std::string hex(unsigned int value) {
    constexpr const char* digits = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 16u]);
        value /= 16u;
    } while (value != 0u);
    return text;
}

// Loads the table; on failure returns nothing and `why` holds the error.
std::optional<NumpyApi> load_numpy(std::string& why) {
    // The core package's name changed with the 2.x series.
    Ref numpy(PyImport_ImportModule("numpy"));
    Ref version = numpy ? Ref(PyObject_GetAttrString(numpy.get(), "__version__")) : Ref();
    Ref lib = version ? Ref(PyImport_ImportModule("numpy.lib")) : Ref();
    Ref parsed = lib ? Ref(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()))
                     : Ref();
    Ref major_object = parsed ? Ref(PyObject_GetAttrString(parsed.get(), "major")) : Ref();
    if (!major_object) {
        why = take_exception_text();
        return std::nullopt;
    }
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) {
        why = take_exception_text();
        return std::nullopt;
    }
    if (major < 0 || major > 255) {
        why = kelvane::format("OverflowError: NumPy major version {} does not fit in 8 bits", major);
        return std::nullopt;
    }
    const char* multiarray_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";

    Ref multiarray(PyImport_ImportModule(multiarray_name));
    Ref capsule = multiarray ? Ref(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")) : Ref();
    if (!capsule) {
        why = take_exception_text();
        return std::nullopt;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_type_mismatch(capsule.get(), &PyCapsule_Type);
        why = take_exception_text();
        return std::nullopt;
    }
    void** table = static_cast<void**>(
        PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    if (table == nullptr) {
        why = take_exception_text();
        return std::nullopt;
    }

    const auto abi_version = reinterpret_cast<unsigned int (*)()>(table[api_get_ndarray_c_version])();
    if (abi_version > max_abi_version) {
        why = "RuntimeError: module compiled against ABI version 0x" + hex(max_abi_version) +
              " but this version of numpy is 0x" + hex(abi_version);
        return std::nullopt;
    }
    const auto feature_version =
        reinterpret_cast<unsigned int (*)()>(table[api_get_ndarray_c_feature_version])();
    if (feature_version < min_feature_version) {
        why = "RuntimeError: module was compiled against NumPy C-API version 0x" +
              hex(min_feature_version) + " (NumPy 1.15) but the running NumPy has C-API version 0x" +
              hex(feature_version);
        return std::nullopt;
    }
    if (reinterpret_cast<int (*)()>(table[api_get_endianness])() != npy_cpu_little) {
        why = "RuntimeError: module compiled as little endian, but detected different endianness "
              "at runtime";
        return std::nullopt;
    }

    NumpyApi api{};
    api.ndarray = static_cast<PyTypeObject*>(table[api_array_type]);
    api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[api_descr_from_type]);
    api.equiv_types =
        reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[api_equiv_types]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[api_new_from_descr]);
    api.set_base_object =
        reinterpret_cast<int (*)(PyObject*, PyObject*)>(table[api_set_base_object]);
    api.float32 = api.descr_from_type(npy_float);
    api.float64 = api.float32 ? api.descr_from_type(npy_double) : nullptr;
    api.uint64 = api.float64 ? api.descr_from_type(npy_ulong) : nullptr;
    if (api.uint64 == nullptr) {
        Py_XDECREF(api.float32);
        Py_XDECREF(api.float64);
        why = take_exception_text();
        return std::nullopt;
    }
    return api;
}

// The table, loaded on first use. A failure is a fault ("Failed to access
// NumPy array API capsule: ..."); it is not kept, so the next use tries
// again. Lock held.
const NumpyApi& numpy_api() {
    if (numpy_table) return *numpy_table;
    std::string why;
    std::optional<NumpyApi> loaded = load_numpy(why);
    if (!loaded) kelvane::fault("Failed to access NumPy array API capsule: " + why);
    // Another thread may have loaded it meanwhile (the import can release
    // the lock): keep the first, release the second's descriptors.
    if (numpy_table) {
        Py_DECREF(loaded->float32);
        Py_DECREF(loaded->float64);
        Py_DECREF(loaded->uint64);
    } else {
        numpy_table = *loaded;
    }
    return *numpy_table;
}

// ===========================================================================
// Argument binding
//
// Every callable takes only required parameters: positional-or-keyword ones
// or keyword-only ones, matched here with CPython's wording for each
// mismatch. Slots hold borrowed references to the call's arguments.

struct FunctionDescription {
    const char* class_name;
    const char* callable_name;                     // "__new__" or the method's name
    std::span<const char* const> positional;       // positional-or-keyword, in order
    std::span<const char* const> keyword_only;     // in order

    std::size_t count() const { return positional.size() + keyword_only.size(); }
    // Parameter k, the positional-or-keyword ones first.
    const char* name(std::size_t k) const {
        return k < positional.size() ? positional[k] : keyword_only[k - positional.size()];
    }
};

constexpr std::size_t max_parameters = 14;
using Slots = std::array<PyObject*, max_parameters>;

// Starts a message with the display name "Class.callable()".
TextBuilder& display_name(TextBuilder& text, const FunctionDescription& function) {
    return text.utf8(function.class_name).utf8(".").utf8(function.callable_name).utf8("()");
}

// Raises "... missing 2 required keyword arguments: 'a' and 'b'" for the
// empty slots among parameters [first, last). Always false.
bool raise_missing(const FunctionDescription& function, const Slots& slots, std::size_t first,
                   std::size_t last, const char* kind) {
    std::vector<const char*> missing;
    for (std::size_t k = first; k < last; ++k) {
        if (slots[k] == nullptr) missing.push_back(function.name(k));
    }
    TextBuilder text;
    display_name(text, function)
        .utf8(" missing ")
        .utf8(std::to_string(missing.size()))
        .utf8(" required ")
        .utf8(kind)
        .utf8(missing.size() == 1 ? " argument: " : " arguments: ");
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            // 'a' and 'b'; 'a', 'b', and 'c'.
            if (missing.size() > 2) text.utf8(",");
            if (k + 1 == missing.size()) text.utf8(" and");
            text.utf8(" ");
        }
        text.utf8("'").utf8(missing[k]).utf8("'");
    }
    return raise_text(PyExc_TypeError, text.finish());
}

// The slot of the parameter named `keyword`: keyword-only names first, then
// positional-or-keyword ones; nothing for a non-string or an unknown name.
std::optional<std::size_t> parameter_index(const FunctionDescription& function,
                                           PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return std::nullopt;
    const std::size_t positional = function.positional.size();
    for (std::size_t k = 0; k < function.keyword_only.size(); ++k) {
        if (PyUnicode_CompareWithASCIIString(keyword, function.keyword_only[k]) == 0) {
            return positional + k;
        }
    }
    for (std::size_t k = 0; k < positional; ++k) {
        if (PyUnicode_CompareWithASCIIString(keyword, function.positional[k]) == 0) return k;
    }
    return std::nullopt;
}

// Fills `slots` from `nargs` positional arguments and the keywords that
// `next_keyword(key, value)` yields in the caller's order (false at the
// end). Returns false with the binding `TypeError` set on a mismatch.
template <class NextKeyword>
bool bind(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
          NextKeyword&& next_keyword, Slots& slots) {
    slots.fill(nullptr);
    const std::size_t positional = function.positional.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > positional) {
        TextBuilder text;
        display_name(text, function)
            .utf8(" takes ")
            .utf8(std::to_string(positional))
            .utf8(" positional arguments but ")
            .utf8(std::to_string(given))
            .utf8(given == 1 ? " was given" : " were given");
        return raise_text(PyExc_TypeError, text.finish());
    }
    for (std::size_t k = 0; k < given; ++k) slots[k] = args[k];

    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (next_keyword(key, value)) {
        const std::optional<std::size_t> index = parameter_index(function, key);
        if (!index) {
            TextBuilder text;
            display_name(text, function)
                .utf8(" got an unexpected keyword argument '")
                .str(key)
                .utf8("'");
            return raise_text(PyExc_TypeError, text.finish());
        }
        if (slots[*index] != nullptr) {
            TextBuilder text;
            display_name(text, function)
                .utf8(" got multiple values for argument '")
                .str(key)
                .utf8("'");
            return raise_text(PyExc_TypeError, text.finish());
        }
        slots[*index] = value;
    }

    for (std::size_t k = 0; k < positional; ++k) {
        if (slots[k] == nullptr) return raise_missing(function, slots, 0, positional, "positional");
    }
    for (std::size_t k = positional; k < function.count(); ++k) {
        if (slots[k] == nullptr) {
            return raise_missing(function, slots, positional, function.count(), "keyword");
        }
    }
    return true;
}

// Binding of the object-creation slot: an argument tuple and a keyword dict
// (or null).
bool bind_tuple(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                Slots& slots) {
    Py_ssize_t position = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        return kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value) != 0;
    };
    return bind(function, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), next, slots);
}

// Binding of the fast calling convention: `nargs` positional arguments,
// then one value per name of `kwnames` (a tuple, or null).
bool bind_vector(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Slots& slots) {
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Py_ssize_t k = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        if (k == keywords) return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[nargs + k];
        ++k;
        return true;
    };
    return bind(function, args, nargs, next, slots);
}

// ===========================================================================
// Argument conversion

// Attaches the note "while processing '<parameter>'" to the raised
// exception, which keeps its class and message; when the note cannot be
// attached, that failure is discarded. Always returns false.
bool note_argument(const char* parameter) {
    Ref error(PyErr_GetRaisedException());
    if (!error) return false;
    Ref note(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        Ref added(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
        if (!added) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
    return false;
}

// `note_argument` for a constructor or method: always null.
PyObject* fail_argument(const char* parameter) {
    note_argument(parameter);
    return nullptr;
}

// 64-bit float: a `float` directly, anything else through the
// interpreter's float conversion.
bool to_f64(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// Rounds `value` to the nearest 32-bit float, ties to even; a magnitude that
// rounds beyond the largest float becomes an infinity of its sign, NaN stays
// NaN. The overflow is decided here because a cast of an out-of-range value
// is undefined in C++.
float narrow_to_f32(double value) {
    // Halfway between the largest float, (2 − 2^-23) × 2^127, and 2^128:
    // magnitudes from here on round to infinity (the tie goes to the even
    // neighbour, 2^128).
    constexpr double overflow_threshold = 0x1.ffffffp127;
    if (std::fabs(value) >= overflow_threshold) {
        constexpr float infinity = std::numeric_limits<float>::infinity();
        return std::signbit(value) ? -infinity : infinity;
    }
    return static_cast<float>(value);
}

// 32-bit float: the 64-bit conversion, narrowed.
bool to_f32(PyObject* object, float& out) {
    double value = 0.0;
    if (!to_f64(object, value)) return false;
    out = narrow_to_f32(value);
    return true;
}

// Converts the first N slots of `function` to 32-bit floats, in parameter
// order.
template <std::size_t N>
bool to_f32_all(const FunctionDescription& function, const Slots& slot, std::array<float, N>& out) {
    for (std::size_t k = 0; k < N; ++k) {
        if (!to_f32(slot[k], out[k])) return note_argument(function.name(k));
    }
    return true;
}

// Signed 32-bit integer: ints and integer indices (booleans included,
// floats refused by the interpreter), within the 32-bit range.
bool to_i32(PyObject* object, std::int32_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return false;
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

// `collections.abc.Sequence`, imported on first need and kept; borrowed, or
// null with an exception set.
PyTypeObject* sequence_type() {
    static PyObject* sequence = nullptr;
    if (sequence != nullptr) return reinterpret_cast<PyTypeObject*>(sequence);
    Ref abc(PyImport_ImportModule("collections.abc"));
    Ref found = abc ? Ref(PyObject_GetAttrString(abc.get(), "Sequence")) : Ref();
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) {
        raise_type_mismatch(found.get(), &PyType_Type);
        return nullptr;
    }
    if (sequence == nullptr) sequence = found.release();
    return reinterpret_cast<PyTypeObject*>(sequence);
}

// A list argument: any sequence but a string, iterated in order, each
// element handed to `element(item)` with `item` holding the element's own
// reference (the callee may move it out to keep the element alive; it
// returns false with an exception set on failure).
template <class Element>
bool for_each_in_sequence(PyObject* object, Element&& element) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        PyTypeObject* sequence = sequence_type();
        return sequence != nullptr && raise_type_mismatch(object, sequence);
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        PyObject* raw = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw);
        Ref item(raw);
        if (status < 0) return false;
        if (status == 0) return true;
        if (!element(item)) return false;
        // Now, so that a long sequence of new objects is not kept to the end.
        item.reset();
    }
}

// The length a sequence reports, only to size a list in advance: a failure
// is discarded, and a large claim is not trusted beyond `cap` entries.
std::size_t size_hint(PyObject* object) {
    constexpr Py_ssize_t cap = 4096;
    if (PyUnicode_Check(object) || !PySequence_Check(object)) return 0;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(length < cap ? length : cap);
}

// List of signed 32-bit integers.
bool to_i32_list(PyObject* object, std::vector<config::RayType>& out) {
    out.reserve(size_hint(object));
    return for_each_in_sequence(object, [&](Ref& item) {
        std::int32_t code = 0;
        if (!to_i32(item.get(), code)) return false;
        out.push_back(config::RayType{code});
        return true;
    });
}

// ---------------------------------------------------------------------------
// Arrays

enum class Element { float32, float64, uint64 };

// An accepted array, held (a strong reference) until the holder goes.
struct ArrayArgument {
    Ref object;
    const NdArrayObject* array() const {
        return reinterpret_cast<const NdArrayObject*>(object.get());
    }
    Py_ssize_t extent(int dimension) const { return array()->dimensions[dimension]; }
};

PyObject* descriptor(const NumpyApi& api, Element element) {
    switch (element) {
        case Element::float32: return api.float32;
        case Element::float64: return api.float64;
        case Element::uint64: return api.uint64;
    }
    return api.float32;
}

// An array of exactly `dimensions` dimensions whose element type is
// equivalent to `element` in native byte order; never converted or copied.
// Anything else raises the type mismatch naming "ndarray".
bool to_array(PyObject* object, Element element, int dimensions, ArrayArgument& out) {
    const NumpyApi& api = numpy_api();
    if (!PyObject_TypeCheck(object, api.ndarray)) return raise_type_mismatch(object, api.ndarray);
    const auto* array = reinterpret_cast<const NdArrayObject*>(object);
    PyObject* wanted = descriptor(api, element);
    if (array->nd != dimensions ||
        (array->descr != wanted && api.equiv_types(array->descr, wanted) == 0)) {
        return raise_type_mismatch(object, api.ndarray);
    }
    out.object = Ref::borrow(object);
    return true;
}

// The elements of an accepted 1-D array as one contiguous span, read in
// place: empty for an empty array; otherwise the array must be aligned and
// contiguous, else `TypeError`.
template <class T>
bool flat_view(const ArrayArgument& argument, std::span<const T>& out) {
    const NdArrayObject* array = argument.array();
    const auto length = static_cast<std::size_t>(array->dimensions[0]);
    if (length == 0) {
        out = {};
        return true;
    }
    const int contiguous = npy_array_c_contiguous | npy_array_f_contiguous;
    if ((array->flags & npy_array_aligned) == 0 || (array->flags & contiguous) == 0) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return false;
    }
    out = std::span<const T>(reinterpret_cast<const T*>(array->data), length);
    return true;
}

// Element [row, column] of an accepted 2-D float32 array, through its
// strides (any layout; copied bytewise, so alignment does not matter).
float element_at(const ArrayArgument& argument, Py_ssize_t row, Py_ssize_t column) {
    const NdArrayObject* array = argument.array();
    const char* at = array->data + (row * array->strides[0]) + (column * array->strides[1]);
    float value = 0.0f;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The arrays of parameters [first, first + N) of `function`: parameter
// first + k an array of element type `kinds[k]` and `dimensions` dimensions.
// A refusal carries the note naming its parameter.
template <std::size_t N>
bool to_arrays(const FunctionDescription& function, const Slots& slot, std::size_t first,
               const std::array<Element, N>& kinds, int dimensions,
               std::array<ArrayArgument, N>& out) {
    for (std::size_t k = 0; k < N; ++k) {
        if (!to_array(slot[first + k], kinds[k], dimensions, out[k])) {
            return note_argument(function.name(first + k));
        }
    }
    return true;
}

// "[3, 3, 2]"
std::string list_text(std::span<const std::size_t> values) {
    std::string text = "[";
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k > 0) text += ", ";
        text += std::to_string(values[k]);
    }
    return text + "]";
}

// True when every one of `lengths` equals the first; otherwise raises
// `ValueError` "<rule>. Got lengths [..] for <names>".
bool check_equal_lengths(std::span<const std::size_t> lengths, const char* rule,
                         const char* names) {
    for (const std::size_t length : lengths) {
        if (length != lengths[0]) {
            return raise_message(PyExc_ValueError, std::string(rule) + ". Got lengths " +
                                                       list_text(lengths) + " for " + names);
        }
    }
    return true;
}

// ===========================================================================
// Instances
//
// Every class holds one engine value, built before the Python object is
// allocated and never changed afterwards. Instances hold no references to
// other Python objects, so they take no part in garbage collection.
//
// An instance may still lack its value: the class objects are mutable, so
// Python code can replace a class's `__new__` and allocate an instance with
// `object.__new__`, which zero-fills it and builds nothing. `built` tells
// the two apart, and every read of the value goes through `value_of`,
// which refuses such an instance.

template <class Value>
struct Instance {
    PyObject ob_base;
    bool built;   // `inner` is constructed; false in a zero-filled allocation
    Value inner;  // only while `built`
};

// The classes, in the order the exec step adds them.
enum class ClassId : std::size_t {
    FaultSegment,
    SlipModel,
    VelocityModel1D,
    SourceParameters,
    PathParameters,
    SiteParameters,
    RecordParameters,
    HfConfig,
    Simulator,
};
constexpr std::size_t class_count = 9;

PyTypeObject* class_object(ClassId id);
const char* class_name(ClassId id);

// The engine value of `object`, an instance of the class `id` whose value
// is a `Value` (the caller has checked its type): a borrowed pointer, valid
// while `object` is. Null with the `TypeError` "<class> object is not
// initialised" for an instance that never had its value built.
template <class Value>
const Value* value_of(PyObject* object, ClassId id) {
    const auto* instance = reinterpret_cast<const Instance<Value>*>(object);
    if (!instance->built) {
        raise_message(PyExc_TypeError, std::string(class_name(id)) + " object is not initialised");
        return nullptr;
    }
    return &instance->inner;
}

// A new instance of `type` holding `value` (moved in), or null with an
// exception set (then `value` is simply dropped by the caller).
template <class Value>
PyObject* make_instance(PyTypeObject* type, Value&& value) {
    // Nothing can fail between the allocation and `built`.
    static_assert(std::is_nothrow_move_constructible_v<Value>);
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* instance = reinterpret_cast<Instance<Value>*>(object);
    new (&instance->inner) Value(std::move(value));
    instance->built = true;
    return object;
}

// Frees an instance and its value, if it was built. Runs no Python code:
// the value is the engine's, and the class object outlives every instance
// (`class_objects` keeps it for the process), so the type's reference is
// never the last.
template <class Value>
void instance_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    auto* instance = reinterpret_cast<Instance<Value>*>(object);
    if (instance->built) instance->inner.~Value();
    type->tp_free(object);
    Py_DECREF(type);
}

// An instance of the class `id`, whose engine value is `Value`: a borrowed
// pointer to that value, valid while `object` is. Otherwise the type
// mismatch naming the class, or the `TypeError` of `value_of`.
template <class Value>
bool to_instance(PyObject* object, ClassId id, const Value*& out) {
    PyTypeObject* type = class_object(id);
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(object, type)) return raise_type_mismatch(object, type);
    out = value_of<Value>(object, id);
    return out != nullptr;
}

// The simulator as a heap-held engine result that is known to hold a
// `Simulator` (its fields are const, so it is never copied or moved).
using SimulatorResult = std::variant<sim::Simulator, sim::SimError>;
using SimulatorBox = std::unique_ptr<const SimulatorResult>;

// ===========================================================================
// FaultSegment

constexpr const char* fault_segment_parameters[] = {
    "longitude_deg", "latitude_deg", "strike_deg", "dip_deg", "rake_deg", "top_depth_km",
    "subfault_length_km", "subfault_width_km", "hypocentre_along_strike_km",
    "hypocentre_down_dip_km", "slip", "rise_time_s", "rupture_time_s", "stress_drop_bars",
};
constexpr FunctionDescription fault_segment_function{
    "FaultSegment", "__new__", {}, fault_segment_parameters};
constexpr std::size_t fault_segment_numbers = 10;  // the scalar parameters come first
constexpr std::size_t fault_segment_grids = 4;

constexpr const char* fault_segment_doc =
    "FaultSegment(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
    "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km, "
    "slip, rise_time_s, rupture_time_s, stress_drop_bars)\n--\n\n"
    "One fault segment: geometry plus the four subfault grids.\n\n"
    "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
    "row order the `.stoch` format itself uses.";

std::string shape_text(const ArrayArgument& grid) {
    return kelvane::format("({}, {})", grid.extent(0), grid.extent(1));
}

// The segment from the ten numbers (parameter order) and the four grids
// (slip, rise time, rupture time, stress drop), or nothing with
// `ValueError` set.
std::optional<input::Segment> build_fault_segment(
    const std::array<float, fault_segment_numbers>& number,
    const std::array<ArrayArgument, fault_segment_grids>& grid) {
    const ArrayArgument& slip = grid[0];
    const ArrayArgument& stress = grid[3];
    const Py_ssize_t rows = slip.extent(0);     // down dip
    const Py_ssize_t columns = slip.extent(1);  // along strike

    // One shape for all four grids.
    for (const ArrayArgument& other : grid) {
        if (other.extent(0) != rows || other.extent(1) != columns) {
            raise_message(PyExc_ValueError,
                          kelvane::format("slip {}, rise_time_s {}, rupture_time_s {} and "
                                          "stress_drop_bars {} must have the same shape -- they "
                                          "describe the same subfaults",
                                          shape_text(grid[0]), shape_text(grid[1]),
                                          shape_text(grid[2]), shape_text(grid[3])));
            return std::nullopt;
        }
    }
    // Every stress drop positive and finite; the first failure in row-major
    // order is reported, whatever the memory layout.
    for (Py_ssize_t j = 0; j < rows; ++j) {
        for (Py_ssize_t i = 0; i < columns; ++i) {
            const float value = element_at(stress, j, i);
            if (!(value > 0.0f && std::isfinite(value))) {
                raise_message(PyExc_ValueError,
                              "stress_drop_bars must be positive and finite everywhere; got " +
                                  kelvane::format_number(value));
                return std::nullopt;
            }
        }
    }
    if (rows == 0 || columns == 0) {
        raise_message(PyExc_ValueError, "a segment needs at least one subfault; got an empty grid");
        return std::nullopt;
    }

    // Down-dip rows outer, along-strike columns inner: the engine's grid order.
    std::vector<input::Subfault> subfaults;
    subfaults.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
    for (Py_ssize_t j = 0; j < rows; ++j) {
        for (Py_ssize_t i = 0; i < columns; ++i) {
            subfaults.push_back(input::Subfault{
                input::Slip{element_at(grid[0], j, i)},
                element_at(grid[1], j, i),
                element_at(grid[2], j, i),
                element_at(grid[3], j, i),
            });
        }
    }
    return input::SegmentBuilder{}
        .fault_lon_deg(number[0])
        .fault_lat_deg(number[1])
        .along_strike_count(static_cast<std::size_t>(columns))
        .down_dip_count(static_cast<std::size_t>(rows))
        .subfault_length_km(number[6])
        .subfault_width_km(number[7])
        .strike_deg(number[2])
        .dip_deg(number[3])
        .rake_deg(number[4])
        .top_depth_km(number[5])
        .hypocentre_along_strike_km(number[8])
        .hypocentre_down_dip_km(number[9])
        .subfaults(std::move(subfaults))
        .build();
}

// FaultSegment(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km,
//              subfault_length_km, subfault_width_km, hypocentre_along_strike_km,
//              hypocentre_down_dip_km, slip, rise_time_s, rupture_time_s, stress_drop_bars)
PyObject* fault_segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(fault_segment_function, args, kwargs, slot)) return nullptr;
        std::array<float, fault_segment_numbers> number{};
        if (!to_f32_all(fault_segment_function, slot, number)) return nullptr;
        constexpr std::array<Element, fault_segment_grids> kinds = {
            Element::float32, Element::float32, Element::float32, Element::float32};
        std::array<ArrayArgument, fault_segment_grids> grid;
        if (!to_arrays(fault_segment_function, slot, fault_segment_numbers, kinds, 2, grid)) {
            return nullptr;
        }
        std::optional<input::Segment> segment = build_fault_segment(number, grid);
        if (!segment) return nullptr;
        return make_instance(type, std::move(*segment));
    });
}

// ===========================================================================
// SlipModel

constexpr const char* slip_model_parameters[] = {"segments"};
constexpr FunctionDescription slip_model_function{"SlipModel", "__new__", slip_model_parameters, {}};

constexpr const char* slip_model_doc =
    "SlipModel(segments)\n--\n\nA whole slip model: one or more [`PyFaultSegment`].";

// SlipModel(segments)
PyObject* slip_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(slip_model_function, args, kwargs, slot)) return nullptr;
        // The listed objects stay held until their segments are copied.
        std::vector<Ref> held;
        std::vector<const input::Segment*> listed;
        listed.reserve(size_hint(slot[0]));
        const bool converted = for_each_in_sequence(slot[0], [&](Ref& item) {
            const input::Segment* segment = nullptr;
            if (!to_instance(item.get(), ClassId::FaultSegment, segment)) return false;
            listed.push_back(segment);
            held.push_back(std::move(item));
            return true;
        });
        if (!converted) return fail_argument("segments");

        if (listed.empty()) {
            raise_message(PyExc_ValueError, "a slip model needs at least one segment");
            return nullptr;
        }
        std::vector<input::Segment> copies;
        copies.reserve(listed.size());
        for (const input::Segment* segment : listed) copies.push_back(*segment);
        return make_instance(type, input::StochModel::create(std::move(copies)));
    });
}

PyObject* slip_model_subfault_count(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const input::StochModel* model = value_of<input::StochModel>(self, ClassId::SlipModel);
        return model != nullptr ? PyLong_FromSize_t(model->subfault_count) : nullptr;
    });
}

PyGetSetDef slip_model_getset[] = {
    {"subfault_count", slip_model_subfault_count, nullptr, "Total subfaults across all segments",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ===========================================================================
// VelocityModel1D

constexpr const char* velocity_model_parameters[] = {
    "thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3",
    "quality_factor_p", "quality_factor_s", "vs_moho_km_s",
};
constexpr FunctionDescription velocity_model_function{
    "VelocityModel1D", "__new__", {}, velocity_model_parameters};

constexpr const char* velocity_model_doc =
    "VelocityModel1D(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
    "quality_factor_s, vs_moho_km_s)\n--\n\n"
    "The 1-D velocity model, already truncated at the Moho.";

// VelocityModel1D(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p,
//                 quality_factor_s, vs_moho_km_s)
PyObject* velocity_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(velocity_model_function, args, kwargs, slot)) return nullptr;
        constexpr std::array<Element, 6> kinds = {Element::float32, Element::float64,
                                                  Element::float64, Element::float64,
                                                  Element::float32, Element::float32};
        std::array<ArrayArgument, 6> column;
        if (!to_arrays(velocity_model_function, slot, 0, kinds, 1, column)) return nullptr;
        double vs_moho_km_s = 0.0;
        if (!to_f64(slot[6], vs_moho_km_s)) return fail_argument("vs_moho_km_s");
        // The conversion may have run Python code (a `__float__`), which can
        // change an array in place: its element type, its shape, its data.
        // So the arrays are checked again, and read only from here on, with
        // no Python code run in between.
        if (!to_arrays(velocity_model_function, slot, 0, kinds, 1, column)) return nullptr;

        std::span<const float> thickness, quality_p, quality_s;
        std::span<const double> vp, vsh, density;
        if (!flat_view(column[0], thickness) || !flat_view(column[1], vp) ||
            !flat_view(column[2], vsh) || !flat_view(column[3], density) ||
            !flat_view(column[4], quality_p) || !flat_view(column[5], quality_s)) {
            return nullptr;
        }
        const std::array<std::size_t, 6> lengths = {thickness.size(), vp.size(),
                                                    vsh.size(),       density.size(),
                                                    quality_p.size(), quality_s.size()};
        if (!check_equal_lengths(lengths, "every layer property must have one entry per layer",
                                 "(thickness_km, vp_km_s, vsh_km_s, density_g_cm3, "
                                 "quality_factor_p, quality_factor_s)")) {
            return nullptr;
        }

        std::vector<state::InputLayer> layers;
        layers.reserve(lengths[0]);
        for (std::size_t i = 0; i < lengths[0]; ++i) {
            layers.push_back(state::InputLayer{0.0f, thickness[i], vp[i], vsh[i], density[i],
                                               quality_p[i], quality_s[i]});
        }
        auto prepared = input::build_velocity_model(layers, vs_moho_km_s);
        if (const auto* error = std::get_if<state::ModelError>(&prepared)) {
            raise_message(PyExc_ValueError, state::display(*error));
            return nullptr;
        }
        return make_instance(type, std::get<std::vector<state::InputLayer>>(std::move(prepared)));
    });
}

PyObject* velocity_model_layer_count(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto* layers =
            value_of<std::vector<state::InputLayer>>(self, ClassId::VelocityModel1D);
        return layers != nullptr ? PyLong_FromSize_t(layers->size()) : nullptr;
    });
}

PyGetSetDef velocity_model_getset[] = {
    {"layer_count", velocity_model_layer_count, nullptr, "Layers remaining after Moho truncation.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ===========================================================================
// SourceParameters, PathParameters, SiteParameters, RecordParameters

constexpr const char* source_parameters_parameters[] = {
    "corner_frequency_constant", "corner_frequency_alpha", "rupture_velocity_fraction",
    "rupture_velocity_shallow",  "rupture_velocity_deep",  "rupture_velocity_sigma",
};
constexpr FunctionDescription source_parameters_function{
    "SourceParameters", "__new__", {}, source_parameters_parameters};

constexpr const char* source_parameters_doc =
    "SourceParameters(*, corner_frequency_constant, corner_frequency_alpha, "
    "rupture_velocity_fraction, rupture_velocity_shallow, rupture_velocity_deep, "
    "rupture_velocity_sigma)\n--\n\n"
    "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
    "rupture travels.";

// SourceParameters(*, corner_frequency_constant, corner_frequency_alpha,
//                  rupture_velocity_fraction, rupture_velocity_shallow,
//                  rupture_velocity_deep, rupture_velocity_sigma)
PyObject* source_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        std::array<float, 6> v{};
        if (!bind_tuple(source_parameters_function, args, kwargs, slot) ||
            !to_f32_all(source_parameters_function, slot, v)) {
            return nullptr;
        }
        return make_instance(type, config::SourceParameters{
                                       v[0], v[1], config::RuptureVelocity{v[2], v[3], v[4], v[5]}});
    });
}

constexpr const char* path_parameters_parameters[] = {"rayset", "path_duration_model"};
constexpr FunctionDescription path_parameters_function{
    "PathParameters", "__new__", {}, path_parameters_parameters};

constexpr const char* path_parameters_doc =
    "PathParameters(*, rayset, path_duration_model)\n--\n\n"
    "The path from source to site shared by every station: which rays, and how duration grows\n"
    "with distance.";

// PathParameters(*, rayset, path_duration_model)
PyObject* path_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(path_parameters_function, args, kwargs, slot)) return nullptr;
        std::vector<config::RayType> rayset;
        if (!to_i32_list(slot[0], rayset)) return fail_argument("rayset");
        std::int32_t code = 0;
        if (!to_i32(slot[1], code)) return fail_argument("path_duration_model");
        const std::optional<config::PathDurationModel> model = config::from_deck(code);
        if (!model) {
            raise_message(PyExc_ValueError,
                          kelvane::format("path_duration_model {} is not one of 0, 1, 2, 11, 12",
                                          code));
            return nullptr;
        }
        return make_instance(type, config::PathParameters{std::move(rayset), *model});
    });
}

constexpr const char* site_parameters_parameters[] = {"fmax_hz"};
constexpr FunctionDescription site_parameters_function{
    "SiteParameters", "__new__", {}, site_parameters_parameters};

constexpr const char* site_parameters_doc =
    "SiteParameters(*, fmax_hz)\n--\n\n"
    "The near-surface parameters shared by every station.\n\n"
    "Quarter-wavelength site amplification is always applied and is not a field here.";

// SiteParameters(*, fmax_hz)
PyObject* site_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        std::array<float, 1> v{};
        if (!bind_tuple(site_parameters_function, args, kwargs, slot) ||
            !to_f32_all(site_parameters_function, slot, v)) {
            return nullptr;
        }
        return make_instance(type, config::SiteParameters{v[0]});
    });
}

constexpr const char* record_parameters_parameters[] = {"duration_s", "dt"};
constexpr FunctionDescription record_parameters_function{
    "RecordParameters", "__new__", {}, record_parameters_parameters};

constexpr const char* record_parameters_doc =
    "RecordParameters(*, duration_s, dt)\n--\n\nThe shape of the record to produce.";

// RecordParameters(*, duration_s, dt)
PyObject* record_parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        std::array<float, 2> v{};
        if (!bind_tuple(record_parameters_function, args, kwargs, slot) ||
            !to_f32_all(record_parameters_function, slot, v)) {
            return nullptr;
        }
        return make_instance(type, config::RecordParameters{v[0], v[1]});
    });
}

// ===========================================================================
// HfConfig

constexpr const char* hf_config_parameters[] = {"source", "path", "site", "record"};
constexpr FunctionDescription hf_config_function{"HfConfig", "__new__", {}, hf_config_parameters};

constexpr const char* hf_config_doc =
    "HfConfig(*, source, path, site, record)\n--\n\n"
    "Everything needed to simulate, with nothing about where the inputs came from.";

// HfConfig(*, source, path, site, record)
PyObject* hf_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(hf_config_function, args, kwargs, slot)) return nullptr;
        const config::SourceParameters* source = nullptr;
        const config::PathParameters* path = nullptr;
        const config::SiteParameters* site = nullptr;
        const config::RecordParameters* record = nullptr;
        if (!to_instance(slot[0], ClassId::SourceParameters, source)) return fail_argument("source");
        if (!to_instance(slot[1], ClassId::PathParameters, path)) return fail_argument("path");
        if (!to_instance(slot[2], ClassId::SiteParameters, site)) return fail_argument("site");
        if (!to_instance(slot[3], ClassId::RecordParameters, record)) return fail_argument("record");
        // Copies: the path's ray list becomes a list of its own.
        return make_instance(type, config::HfConfig{*source, *path, *site, *record});
    });
}

// ===========================================================================
// Simulator

constexpr const char* simulator_parameters[] = {"config", "slip_model", "velocity_model"};
constexpr FunctionDescription simulator_function{"Simulator", "__new__", simulator_parameters, {}};

constexpr const char* simulator_doc =
    "Simulator(config, slip_model, velocity_model)\n--\n\n"
    "A configured simulation, ready to run stations against.\n\n"
    "Built once per source; the station-independent work \xe2\x80\x94 the air layer, the "
    "slip-model\nnormalisation, the moment scaling \xe2\x80\x94 happens here rather than per "
    "station.\n\n"
    "# Threads, not processes\n\n"
    "`run_stations` releases the GIL and only reads the simulator, so one of these can be "
    "shared across a\n**dask thread pool**. It is deliberately not picklable: `dask.distributed` "
    "would need to\nsend it between processes, and a silent re-normalisation on the far side is "
    "a worse\nfailure than a loud one here.";

// The engine simulator of `object`, a `Simulator` instance: borrowed, valid
// while `object` is; null with the `TypeError` of `value_of` when it was
// never built.
const sim::Simulator* simulator_of(PyObject* object) {
    const SimulatorBox* box = value_of<SimulatorBox>(object, ClassId::Simulator);
    return box != nullptr ? &std::get<sim::Simulator>(**box) : nullptr;
}

// The refusal of a record no batch can hold, not even an empty one: a
// finite sample count above the most a record holds, 3 rows of 4-byte values
// within a signed 64-bit byte count (some 7.7e17 samples). An infinite count
// (dt 0, an infinite duration) is left to the first batch, which reports
// it; so are smaller counts, whose batches of one station give MemoryError
// where their result does not fit in memory.
std::optional<std::string> oversized_record(const config::RecordParameters& record) {
    const std::optional<float> samples = sim::unrepresentable_sample_count(record);
    if (!samples) return std::nullopt;
    return kelvane::format(
        "a record of duration_s {} s at dt {} s has {} samples per component, more than the {} "
        "a record can hold (3 rows of 4-byte values within a signed 64-bit byte count), so no "
        "batch of it can be represented; shorten the duration or lengthen dt",
        record.duration_s, record.dt_s, *samples, sim::max_record_samples);
}

// Simulator(config, slip_model, velocity_model)
PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Slots slot;
        if (!bind_tuple(simulator_function, args, kwargs, slot)) return nullptr;
        const config::HfConfig* hf_config = nullptr;
        const input::StochModel* slip_model = nullptr;
        const std::vector<state::InputLayer>* layers = nullptr;
        if (!to_instance(slot[0], ClassId::HfConfig, hf_config)) return fail_argument("config");
        if (!to_instance(slot[1], ClassId::SlipModel, slip_model)) return fail_argument("slip_model");
        if (!to_instance(slot[2], ClassId::VelocityModel1D, layers)) {
            return fail_argument("velocity_model");
        }
        // Built in place on the heap: the simulator is never copied. The
        // engine copies what it keeps, so the arguments are not referred to
        // afterwards.
        SimulatorBox built(new SimulatorResult(sim::Simulator::create(*hf_config, *slip_model, *layers)));
        if (const auto* error = std::get_if<sim::SimError>(built.get())) {
            raise_message(PyExc_ValueError, sim::display(*error));
            return nullptr;
        }
        if (const std::optional<std::string> why = oversized_record(hf_config->record)) {
            raise_message(PyExc_ValueError, *why);
            return nullptr;
        }
        return make_instance(type, std::move(built));
    });
}

constexpr const char* run_stations_parameters[] = {
    "latitude_deg", "longitude_deg", "station_seed", "kappa_s", "q_frequency_exponent",
};
constexpr FunctionDescription run_stations_function{
    "Simulator", "run_stations", {}, run_stations_parameters};

constexpr const char* run_stations_doc =
    "run_stations($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, "
    "q_frequency_exponent)\n--\n\n"
    "Simulate a batch of stations.\n\n"
    "Returns acceleration in cm/s^2, shaped `(3, n_station, n_time)` with components\n"
    "ordered 090/000/vertical.";

// The five per-station inputs of a batch, read in place.
struct StationArrays {
    std::span<const float> latitude_deg;
    std::span<const float> longitude_deg;
    std::span<const std::uint64_t> station_seed;
    std::span<const float> kappa_s;
    std::span<const float> q_frequency_exponent;
};

// The batch buffer: 3 × n × ndata 32-bit floats, owned until the result
// array's base object takes it.
struct FreeBuffer {
    void operator()(float* buffer) const noexcept { std::free(buffer); }
};
using Waveform = std::unique_ptr<float, FreeBuffer>;

// The element count 3 × n × ndata of a batch result. Faults when the product
// of 3 and the non-zero extents exceeds 2^63 − 1 or its byte count (4 per
// element) reaches 2^63, whatever the other extent.
std::size_t result_element_count(std::size_t stations, std::size_t ndata) {
    constexpr std::size_t max_elements = (std::size_t{1} << 61) - 1;  // 4 bytes each, below 2^63
    std::size_t product = 3;
    for (const std::size_t extent : {stations, ndata}) {
        if (extent == 0) continue;
        if (product > max_elements / extent) {
            kelvane::fault(kelvane::format(
                "a batch result of 3 x {} x {} float32 values is too large to represent",
                stations, ndata));
        }
        product *= extent;
    }
    return (stations == 0 || ndata == 0) ? 0 : product;
}

// Runs every station of the batch, in increasing index order, in the
// calling thread, into a new zero-filled buffer. Runs with the interpreter
// lock released: touches nothing of Python. Throws a `kelvane::Fault` for a
// broken invariant and `std::bad_alloc` when the buffer cannot be had.
Waveform run_batch(const sim::Simulator& simulator, const StationArrays& in) {
    const std::size_t stations = in.latitude_deg.size();
    const std::size_t ndata = simulator.ndata();
    const std::size_t count = result_element_count(stations, ndata);
    // One element at least, so an empty result still has a buffer to own.
    Waveform waveform(static_cast<float*>(std::calloc(count == 0 ? 1 : count, sizeof(float))));
    if (!waveform) throw std::bad_alloc();

    for (std::size_t i = 0; i < stations; ++i) {
        const input::Station station{in.longitude_deg[i], in.latitude_deg[i], in.kappa_s[i],
                                     in.q_frequency_exponent[i]};
        const sim::Simulation record = simulator.run(station, in.station_seed[i]);
        kelvane::fault_unless_equal(record.acc.size(), 3 * ndata,
                                    "a station record does not hold 3 x ndata samples");
        // Row c of the station goes to waveform[c, i, :]; a record of no
        // samples has no data to copy (and may have no data pointer).
        if (ndata == 0) continue;
        for (std::size_t c = 0; c < 3; ++c) {
            std::memcpy(waveform.get() + ((c * stations) + i) * ndata, record.acc.data() + (c * ndata),
                        ndata * sizeof(float));
        }
    }
    return waveform;
}

constexpr const char* waveform_capsule_name = "_orvinta.waveform";

// The capsule's destructor: frees the batch buffer, C memory, and runs no
// Python code.
void free_waveform(PyObject* capsule) noexcept {
    std::free(PyCapsule_GetPointer(capsule, waveform_capsule_name));
}

// The result array over `waveform` (taken over in every case): float32,
// shape (3, n, ndata), C order, writeable, its buffer owned by a capsule
// set as the array's base object.
PyObject* result_array(Waveform waveform, std::size_t stations, std::size_t ndata) {
    const NumpyApi& api = numpy_api();
    Ref owner(PyCapsule_New(waveform.get(), waveform_capsule_name, free_waveform));
    if (!owner) return nullptr;
    float* data = waveform.release();  // the capsule frees it from now on

    const Py_ssize_t dims[3] = {3, static_cast<Py_ssize_t>(stations), static_cast<Py_ssize_t>(ndata)};
    const bool empty = stations == 0 || ndata == 0;
    const auto row = static_cast<Py_ssize_t>(ndata * sizeof(float));
    const Py_ssize_t strides[3] = {empty ? 0 : static_cast<Py_ssize_t>(stations) * row,
                                   empty ? 0 : row,
                                   empty ? 0 : static_cast<Py_ssize_t>(sizeof(float))};
    Py_INCREF(api.float32);  // the descriptor reference is stolen by the array
    Ref array(api.new_from_descr(api.ndarray, api.float32, 3, dims, strides, data,
                                 npy_array_writeable, nullptr));
    if (!array) return nullptr;
    // The base-object call takes the owner's reference, also when it fails.
    if (api.set_base_object(array.get(), owner.release()) < 0) return nullptr;
    return array.release();
}

// run_stations($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)
PyObject* simulator_run_stations(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // An instance without its simulator is refused before any argument
        // is looked at.
        const sim::Simulator* simulator = simulator_of(self);
        if (simulator == nullptr) return nullptr;
        Slots slot;
        if (!bind_vector(run_stations_function, args, PyVectorcall_NARGS(nargs), kwnames, slot)) {
            return nullptr;
        }
        constexpr std::array<Element, 5> kinds = {Element::float32, Element::float32,
                                                  Element::uint64, Element::float32,
                                                  Element::float32};
        // Held, in place, until this call returns.
        std::array<ArrayArgument, 5> column;
        if (!to_arrays(run_stations_function, slot, 0, kinds, 1, column)) return nullptr;
        StationArrays in;
        if (!flat_view(column[0], in.latitude_deg) || !flat_view(column[1], in.longitude_deg) ||
            !flat_view(column[2], in.station_seed) || !flat_view(column[3], in.kappa_s) ||
            !flat_view(column[4], in.q_frequency_exponent)) {
            return nullptr;
        }
        const std::array<std::size_t, 5> lengths = {
            in.latitude_deg.size(), in.longitude_deg.size(), in.station_seed.size(),
            in.kappa_s.size(), in.q_frequency_exponent.size()};
        if (!check_equal_lengths(lengths, "every station array must have one entry per station",
                                 "(latitude_deg, longitude_deg, station_seed, kappa_s, "
                                 "q_frequency_exponent)")) {
            return nullptr;
        }

        // The whole batch without the interpreter lock; whatever leaves the
        // engine is carried across and rethrown once the lock is back.
        Waveform waveform;
        std::exception_ptr failure;
        PyThreadState* saved = PyEval_SaveThread();
        try {
            waveform = run_batch(*simulator, in);
        } catch (...) {
            // A batch runs no Python code, so nothing in it ends the thread;
            // a forced unwind all the same is let by, with no lock to take back.
            if (is_forced_unwind()) throw;
            failure = std::current_exception();
        }
        PyEval_RestoreThread(saved);
        if (failure) std::rethrow_exception(failure);

        return result_array(std::move(waveform), lengths[0], simulator->ndata());
    });
}

PyMethodDef simulator_methods[] = {
    {"run_stations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(simulator_run_stations)),
     METH_FASTCALL | METH_KEYWORDS, run_stations_doc},
    {nullptr, nullptr, 0, nullptr},
};

// ===========================================================================
// The class registry

struct ClassTraits {
    const char* name;       // the Python name
    const char* full_name;  // "builtins.<name>": `__module__` is builtins
    const char* doc;
    std::size_t basicsize;
    newfunc tp_new;
    destructor dealloc;
    PyGetSetDef* getset;    // or null
    PyMethodDef* methods;   // or null
};

template <class Value>
constexpr ClassTraits class_traits(const char* name, const char* full_name, const char* doc,
                               newfunc tp_new, PyGetSetDef* getset = nullptr,
                               PyMethodDef* methods = nullptr) {
    return ClassTraits{name,    full_name, doc, sizeof(Instance<Value>), tp_new, instance_dealloc<Value>,
                     getset,  methods};
}

const ClassTraits class_table[class_count] = {
    class_traits<input::Segment>("FaultSegment", "builtins.FaultSegment", fault_segment_doc,
                               fault_segment_new),
    class_traits<input::StochModel>("SlipModel", "builtins.SlipModel", slip_model_doc,
                                  slip_model_new, slip_model_getset),
    class_traits<std::vector<state::InputLayer>>("VelocityModel1D", "builtins.VelocityModel1D",
                                               velocity_model_doc, velocity_model_new,
                                               velocity_model_getset),
    class_traits<config::SourceParameters>("SourceParameters", "builtins.SourceParameters",
                                         source_parameters_doc, source_parameters_new),
    class_traits<config::PathParameters>("PathParameters", "builtins.PathParameters",
                                       path_parameters_doc, path_parameters_new),
    class_traits<config::SiteParameters>("SiteParameters", "builtins.SiteParameters",
                                       site_parameters_doc, site_parameters_new),
    class_traits<config::RecordParameters>("RecordParameters", "builtins.RecordParameters",
                                         record_parameters_doc, record_parameters_new),
    class_traits<config::HfConfig>("HfConfig", "builtins.HfConfig", hf_config_doc, hf_config_new),
    class_traits<SimulatorBox>("Simulator", "builtins.Simulator", simulator_doc, simulator_new,
                             nullptr, simulator_methods),
};

const char* class_name(ClassId id) { return class_table[static_cast<std::size_t>(id)].name; }

// The class objects, created on first use and kept for the process.
PyObject* class_objects[class_count] = {};

// The class object of `id` (borrowed), created from its slot list on first
// use; null with an exception set when it cannot be created.
PyTypeObject* class_object(ClassId id) {
    const auto index = static_cast<std::size_t>(id);
    if (class_objects[index] != nullptr) return reinterpret_cast<PyTypeObject*>(class_objects[index]);
    const ClassTraits& traits = class_table[index];
    // Final (no base-type flag), no instance dictionary, no weak references.
    std::array<PySlot, 9> slots{};
    std::size_t count = 0;
    // The name, documentation and tables are static and never change, so
    // the interpreter may keep pointers to them.
    slots[count++] = slot_static(Py_tp_name, traits.full_name);
    slots[count++] = slot_size(Py_tp_basicsize, static_cast<Py_ssize_t>(traits.basicsize));
    slots[count++] = slot_uint64(Py_tp_flags, Py_TPFLAGS_DEFAULT);
    slots[count++] = slot_static(Py_tp_doc, traits.doc);
    slots[count++] = slot_function(Py_tp_new, traits.tp_new);
    slots[count++] = slot_function(Py_tp_dealloc, traits.dealloc);
    if (traits.getset != nullptr) slots[count++] = slot_static(Py_tp_getset, traits.getset);
    if (traits.methods != nullptr) slots[count++] = slot_static(Py_tp_methods, traits.methods);
    slots[count] = slot_end();
    PyObject* created = PyType_FromSlots(slots.data());
    if (created == nullptr) return nullptr;
    // Another thread may have created it meanwhile: keep the first.
    if (class_objects[index] == nullptr) {
        class_objects[index] = created;
    } else {
        Py_DECREF(created);
    }
    return reinterpret_cast<PyTypeObject*>(class_objects[index]);
}

// ===========================================================================
// The exec step

// Lists `name` in the module's `__all__` (created when missing), then sets
// the module attribute `name` to `type` (null: its creation failed).
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Ref all_name(PyUnicode_FromString("__all__"));
    if (!all_name) return false;
    Ref all(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        Ref error(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError)) {
            PyErr_SetRaisedException(error.release());
            return false;
        }
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        return raise_type_mismatch(all.get(), &PyList_Type);
    }
    Ref text(PyUnicode_FromStringAndSize(name, static_cast<Py_ssize_t>(std::strlen(name))));
    if (!text) return false;
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        kelvane::fault("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(module, text.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

// Fills a freshly created module with the nine classes and `__all__`.
int orvinta(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            raise_type_mismatch(module, &PyModule_Type);
            return -1;
        }
        for (std::size_t k = 0; k < class_count; ++k) {
            if (!add_class(module, class_table[k].name, class_object(static_cast<ClassId>(k)))) {
                return -1;
            }
        }
        return 0;
    });
}

// ===========================================================================
// The module definition: one slot list for both entry points.

// The module's name and documentation (empty, not None). One object each:
// on 3.15 the classic definition must hold the very pointers its slot list
// holds.
constexpr char module_name[] = "_orvinta";
constexpr char module_doc[] = "";

#if ORVINTA_HAVE_MOD_EXPORT

// Built for the interpreter with the global lock: neither the stable
// interface nor the free-threaded build (flags 2).
PyABIInfo module_abi_info = {1, 0, 2, 0, 0};

// The list the export hook returns. Its entries are built when the shared
// object is loaded (a function pointer cannot sit in a constant initialiser),
// before either entry point can be called.
PySlot module_slots[] = {
    slot_function(Py_mod_exec, orvinta),
    slot_static(Py_mod_abi, &module_abi_info),
    slot_code(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    // The class objects, PanicException and the NumPy table are kept once per
    // process, so a second interpreter must not import the module and be
    // handed the first one's objects.
    slot_code(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    slot_static(Py_mod_name, module_name),
    slot_static(Py_mod_doc, module_doc),
    slot_end(),
};

// The classic definition's only entry: the same list, nested.
PyModuleDef_Slot definition_slots[] = {
    {Py_slot_subslots, module_slots},
    {0, nullptr},
};

#else

// The classic slot list, which the export hook also returns (no
// interpreter before 3.15 calls it).
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(orvinta)},
#if ORVINTA_HAVE_MOD_GIL
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    // The class objects, PanicException and the NumPy table are kept once per
    // process, so a second interpreter must not import the module and be
    // handed the first one's objects.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

constexpr PyModuleDef_Slot* definition_slots = module_slots;

#endif

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    module_doc,
    0,        // no per-module state
    nullptr,  // no module-level functions
    definition_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The classic initialisation entry: multi-phase, through the slot list.
PyMODINIT_FUNC PyInit__orvinta(void) noexcept { return PyModuleDef_Init(&module_definition); }

// The export hook: the very slot list the classic definition carries.
PyMODEXPORT_FUNC PyModExport__orvinta(void) noexcept { return module_slots; }
