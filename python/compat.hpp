// Compatibility layer of the `_orvinta` module.
//
// The module is written against the interpreter interfaces of the 3.15
// series: type objects from a slot list (`PyType_FromSlots`), the export
// hook `PyModExport_<name>`, the module slots for the name, documentation,
// ABI information and GIL use, `PyUnicodeWriter_*`, `PyIter_NextItem`,
// `PyThreadState_GetUnchecked` and `PyErr_GetRaisedException` /
// `PyErr_SetRaisedException`. On an older
// interpreter this header supplies small equivalents of each, built from the
// public interface that interpreter has; items that only a newer interpreter
// understands (the ABI-information, GIL, name and documentation slots) are
// compiled away. On 3.15 itself nothing is replaced: the slot lists use the
// interpreter's own `PySlot`, slot numbers and flags, through the small
// entry builders at the end. Everything defined here has internal linkage:
// the module still exports only its two entry points.
//
// Every function follows CPython's convention: a null result or -1 means a
// Python exception is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------
// The export hook's declaration (3.15). An older interpreter never calls the
// hook; it is still exported, returning the classic slot list, so the
// shared object has the same two entry points on every interpreter.
#if PY_VERSION_HEX < 0x030F0000
#define PyMODEXPORT_FUNC extern "C" Py_EXPORTED_SYMBOL PyModuleDef_Slot*
#endif

// ---------------------------------------------------------------------------
// Raised-exception access (3.12): the exception object in one piece.
#if PY_VERSION_HEX < 0x030C0000

// Takes the raised exception out of the thread state and returns it (a new
// reference, normalised, its traceback attached), or null when none is set.
// The error indicator is clear afterwards.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(traceback);
    Py_XDECREF(type);
    return value;
}

// Makes `exc` (a reference that is stolen; may be null to clear) the raised
// exception of the thread.
static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyObject* traceback = PyException_GetTraceback(exc);  // new reference or null
    PyErr_Restore(type, exc, traceback);
}

#endif

// ---------------------------------------------------------------------------
// The thread state of the thread that holds the interpreter lock, without
// the fatal error of `PyThreadState_Get` when none is (3.13). 3.11 and 3.12
// have it under its earlier name; it reads the runtime's current thread
// state, which is the state of whichever thread holds the lock, or null.
#if PY_VERSION_HEX < 0x030D0000
static inline PyThreadState* PyThreadState_GetUnchecked(void) {
    return _PyThreadState_UncheckedGet();
}
#endif

// ---------------------------------------------------------------------------
// Iteration with an explicit end (3.14).
#if PY_VERSION_HEX < 0x030E0000

// Advances `iter`: 1 and a new reference in `*item` for the next element; 0
// and null when the iterator is exhausted; -1 and null with an exception set
// on error (a `TypeError` when `iter` is not an iterator).
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    *item = nullptr;
    if (!PyIter_Check(iter)) {
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%.200s'", Py_TYPE(iter)->tp_name);
        return -1;
    }
    *item = PyIter_Next(iter);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

#endif

// ---------------------------------------------------------------------------
// String building (3.14). This stand-in keeps the pieces written so far in a
// list of `str` objects and joins them once at the end, so every `str` is
// kept exactly (lone surrogates included).
#if PY_VERSION_HEX < 0x030E0000

struct PyUnicodeWriter {
    PyObject* pieces;  // owned list of str
};

// A new, empty writer; `length` is only a size hint. Null with
// `MemoryError` set when it cannot be made.
static inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t length) {
    (void)length;
    auto* writer = static_cast<PyUnicodeWriter*>(PyMem_Malloc(sizeof(PyUnicodeWriter)));
    if (writer == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    writer->pieces = PyList_New(0);
    if (writer->pieces == nullptr) {
        PyMem_Free(writer);
        return nullptr;
    }
    return writer;
}

// Frees `writer` and everything written (null is accepted).
static inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (writer == nullptr) return;
    Py_DECREF(writer->pieces);
    PyMem_Free(writer);
}

// Appends `size` bytes of UTF-8 at `str` (`size` -1: up to the terminating
// NUL). On failure the writer is unchanged and still needs
// `PyUnicodeWriter_Discard`.
static inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* str,
                                            Py_ssize_t size) {
    if (size < 0) size = static_cast<Py_ssize_t>(std::strlen(str));
    PyObject* piece = PyUnicode_DecodeUTF8(str, size, "strict");
    if (piece == nullptr) return -1;
    const int status = PyList_Append(writer->pieces, piece);
    Py_DECREF(piece);
    return status;
}

// Appends `str(obj)`. A `str` subclass that `__str__` returned is kept as a
// plain `str` copy, so the writer holds only plain strings and discarding
// it runs no Python code, as with the interpreter's own writer.
static inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* obj) {
    PyObject* text = PyObject_Str(obj);
    if (text == nullptr) return -1;
    PyObject* piece = PyUnicode_CheckExact(text) ? text : PyUnicode_FromObject(text);
    if (piece != text) Py_DECREF(text);
    if (piece == nullptr) return -1;
    const int status = PyList_Append(writer->pieces, piece);
    Py_DECREF(piece);
    return status;
}

// The text written (a new reference); the writer is freed in every case.
static inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* empty = PyUnicode_FromStringAndSize("", 0);
    PyObject* text = empty == nullptr ? nullptr : PyUnicode_Join(empty, writer->pieces);
    Py_XDECREF(empty);
    PyUnicodeWriter_Discard(writer);
    return text;
}

#endif

// ---------------------------------------------------------------------------
// Type objects from one slot list (3.15). The stand-in accepts the name, the
// instance size, the flags and every classic type slot in one list, and
// builds the type with `PyType_FromSpec` (base `object`).
#if PY_VERSION_HEX < 0x030F0000

// One entry of a slot list: the slot number, flags, and its value: a pointer
// for the name, documentation, functions and tables, a size, or an integer
// for the type flags. The members bear the interpreter's names; the flags are
// carried but not needed, as this stand-in copies nothing it is given and
// keeps functions in `sl_ptr`.
struct PySlot {
    int sl_id;
    std::uint16_t sl_flags;
    union {
        void* sl_ptr;
        Py_ssize_t sl_size;
        std::uint64_t sl_uint64;
    };
};
inline constexpr std::uint16_t PySlot_STATIC = 0x0002;  // data kept, not copied
inline constexpr std::uint16_t PySlot_INTPTR = 0x0004;  // an integer code carried as a pointer

// Slot numbers beyond the classic type slots of the older interpreter.
inline constexpr int Py_slot_end = 0;
inline constexpr int Py_tp_name = 0x1001;       // sl_ptr: "module.Name", static storage
inline constexpr int Py_tp_basicsize = 0x1002;  // sl_size: instance size in bytes
inline constexpr int Py_tp_itemsize = 0x1003;   // sl_size: size of one item, 0 for none
inline constexpr int Py_tp_flags = 0x1004;      // sl_uint64: Py_TPFLAGS_* bits

// The new type (a new reference) described by `slots`, ended by
// `Py_slot_end`. Null with an exception set on failure; `SystemError` when
// the list holds more classic slots than this stand-in carries.
static inline PyObject* PyType_FromSlots(const PySlot* slots) {
    constexpr int capacity = 32;  // classic slots one type may carry here
    PyType_Slot classic[capacity + 1];
    int count = 0;
    PyType_Spec description = {nullptr, 0, 0, 0, classic};
    for (const PySlot* slot = slots; slot->sl_id != Py_slot_end; ++slot) {
        switch (slot->sl_id) {
            case Py_tp_name:
                description.name = static_cast<const char*>(slot->sl_ptr);
                break;
            case Py_tp_basicsize:
                description.basicsize = static_cast<int>(slot->sl_size);
                break;
            case Py_tp_itemsize:
                description.itemsize = static_cast<int>(slot->sl_size);
                break;
            case Py_tp_flags:
                description.flags = static_cast<unsigned int>(slot->sl_uint64);
                break;
            default:
                if (count == capacity) {
                    PyErr_SetString(PyExc_SystemError, "too many type slots");
                    return nullptr;
                }
                classic[count++] = PyType_Slot{slot->sl_id, slot->sl_ptr};
                break;
        }
    }
    classic[count] = PyType_Slot{0, nullptr};
    if (description.name == nullptr) {
        PyErr_SetString(PyExc_SystemError, "type slot list without a name");
        return nullptr;
    }
    return PyType_FromSpec(&description);
}

#endif

// ---------------------------------------------------------------------------
// Slot-list entries, whatever the interpreter's `PySlot` layout. Each helper
// fills the member of the value that the slot's kind of data needs and, on
// 3.15, the flags the interpreter asks for:
// - static data (names, documentation, attribute and method tables, the ABI
//   record): PySlot_STATIC, so the interpreter keeps the pointer instead of
//   copying what it points to, and refuses the table slots without it
//   ("Py_tp_getset requires PySlot_STATIC");
// - values the interpreter declares as pointers but reads as plain codes
//   (the GIL and sub-interpreter answers): PySlot_INTPTR;
// - functions: the function member, which needs no flag;
// - sizes and flag words: the integer members.
// The interpreter's slot numbers are 16 bits wide; every number used here
// fits.

// An entry with its number and flags set and a zero value.
static inline PySlot slot_head(int id, std::uint16_t flags) {
    PySlot slot{};
    slot.sl_id = static_cast<decltype(slot.sl_id)>(id);
    slot.sl_flags = flags;
    return slot;
}
static inline PySlot slot_static(int id, const void* value) {
    PySlot slot = slot_head(id, PySlot_STATIC);
    slot.sl_ptr = const_cast<void*>(value);
    return slot;
}
static inline PySlot slot_code(int id, void* value) {
    PySlot slot = slot_head(id, PySlot_INTPTR);
    slot.sl_ptr = value;
    return slot;
}
template <class Function>
static inline PySlot slot_function(int id, Function* value) {
    PySlot slot = slot_head(id, 0);
#if PY_VERSION_HEX >= 0x030F0000
    slot.sl_func = reinterpret_cast<void (*)(void)>(value);
#else
    slot.sl_ptr = reinterpret_cast<void*>(value);
#endif
    return slot;
}
static inline PySlot slot_size(int id, Py_ssize_t value) {
    PySlot slot = slot_head(id, 0);
    slot.sl_size = value;
    return slot;
}
static inline PySlot slot_uint64(int id, std::uint64_t value) {
    PySlot slot = slot_head(id, 0);
    slot.sl_uint64 = value;
    return slot;
}
static inline PySlot slot_end() { return slot_head(Py_slot_end, 0); }

// ---------------------------------------------------------------------------
// Module slots that older interpreters do not know are left out of the slot
// list; these say which are present.
#define ORVINTA_HAVE_MOD_GIL (PY_VERSION_HEX >= 0x030D0000)      // Py_mod_gil
// 3.15: module slot lists of `PySlot`, Py_mod_abi, Py_mod_name, Py_mod_doc.
#define ORVINTA_HAVE_MOD_EXPORT (PY_VERSION_HEX >= 0x030F0000)
