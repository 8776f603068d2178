"""The two exported entry points of `_orvinta`, each driven by hand.

The import system uses one of them (the export hook on 3.15, the classic
`PyInit__orvinta` before); these tests load a module object through each
entry point that the running interpreter understands, with the interpreter's
own C functions reached through ctypes, and check that every path yields the
same module: the nine process-wide classes, `__all__` and an empty
`__doc__`. They also check that both entry points are described by one slot
list.
"""

import ctypes
import importlib.util
import pathlib
import subprocess
import sys

import pytest

import _orvinta as o

CLASS_NAMES = [
    "FaultSegment", "SlipModel", "VelocityModel1D", "SourceParameters", "PathParameters",
    "SiteParameters", "RecordParameters", "HfConfig", "Simulator",
]

HAVE_EXPORT_HOOK = sys.version_info >= (3, 15)
PYTHON_API_VERSION = 1013  # what PyModule_FromDefAndSpec expands to

# The interpreter's own functions, on a handle of our own so that setting
# signatures here leaves `ctypes.pythonapi` as other code expects it.
api = ctypes.PyDLL(None)
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
api.PyModule_ExecDef.restype = ctypes.c_int
if HAVE_EXPORT_HOOK:
    api.PyModule_FromSlotsAndSpec.argtypes = [ctypes.c_void_p, ctypes.py_object]
    api.PyModule_FromSlotsAndSpec.restype = ctypes.py_object
    api.PyModule_Exec.argtypes = [ctypes.py_object]
    api.PyModule_Exec.restype = ctypes.c_int

# The extension itself; already loaded by the import above, so this is the
# same shared object with the same process-wide classes.
extension = ctypes.PyDLL(o.__file__)
extension.PyInit__orvinta.restype = ctypes.c_void_p  # the definition: never released
extension.PyModExport__orvinta.restype = ctypes.c_void_p  # the static slot list


class ModuleDef(ctypes.Structure):
    """The interpreter's module definition (build with the global lock)."""
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_void_p), ("m_doc", ctypes.c_void_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


class ModuleDefSlot(ctypes.Structure):
    """One entry of a classic slot list."""
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class Slot(ctypes.Structure):
    """One entry of a 3.15 slot list."""
    _fields_ = [("sl_id", ctypes.c_uint16), ("sl_flags", ctypes.c_uint16),
                ("sl_reserved", ctypes.c_uint32), ("value", ctypes.c_void_p)]


def entries(address, kind):
    """The entries of the list of `kind` at `address`, up to its zero end."""
    found = []
    step = ctypes.sizeof(kind)
    while True:
        entry = kind.from_address(address + len(found) * step)
        if (entry.slot if kind is ModuleDefSlot else entry.sl_id) == 0:
            return found
        found.append(entry)


def module_spec():
    return importlib.util.spec_from_file_location("_orvinta", o.__file__)


def through_init():
    definition = extension.PyInit__orvinta()
    module = api.PyModule_FromDefAndSpec2(definition, module_spec(), PYTHON_API_VERSION)
    assert api.PyModule_ExecDef(module, definition) == 0
    return module


def through_export_hook():
    module = api.PyModule_FromSlotsAndSpec(extension.PyModExport__orvinta(), module_spec())
    assert api.PyModule_Exec(module) == 0
    return module


ENTRY_POINTS = [
    pytest.param(through_init, id="PyInit"),
    pytest.param(through_export_hook, id="export hook",
                 marks=pytest.mark.skipif(not HAVE_EXPORT_HOOK,
                                          reason="the export hook is used from 3.15 on")),
]


@pytest.mark.parametrize("load", ENTRY_POINTS)
def test_each_entry_point_gives_the_module_with_the_shared_classes(load):
    module = load()
    assert module is not o
    assert module.__name__ == "_orvinta"
    assert module.__doc__ == ""
    assert module.__all__ == CLASS_NAMES
    assert module.__all__ is not o.__all__
    assert {name for name in vars(module) if not name.startswith("__")} == set(CLASS_NAMES)
    for name in CLASS_NAMES:
        assert getattr(module, name) is getattr(o, name)
    # The classes work through the new module object as through the imported one.
    assert isinstance(module.SiteParameters(fmax_hz=2.0), o.SiteParameters)


@pytest.mark.parametrize("load", ENTRY_POINTS)
def test_loading_again_through_an_entry_point_changes_nothing(load):
    first, second = load(), load()
    assert first is not second
    for name in CLASS_NAMES:
        assert getattr(first, name) is getattr(second, name) is getattr(o, name)
    assert o.__all__ == CLASS_NAMES


def test_one_slot_list_describes_the_module():
    definition = ModuleDef.from_address(extension.PyInit__orvinta())
    hook_list = extension.PyModExport__orvinta()
    assert ctypes.string_at(definition.m_name) == b"_orvinta"
    assert ctypes.string_at(definition.m_doc) == b""
    assert definition.m_size == 0
    assert definition.m_methods is None
    assert definition.m_traverse is None and definition.m_clear is None
    assert definition.m_free is None
    if not HAVE_EXPORT_HOOK:
        # The classic list is the list: the hook hands out the same one.
        assert definition.m_slots == hook_list
        assert entries(hook_list, ModuleDefSlot)[0].slot == 2  # Py_mod_exec
        return

    # The definition's only entry nests the hook's list (Py_slot_subslots).
    nested = entries(definition.m_slots, ModuleDefSlot)
    assert [(entry.slot, entry.value) for entry in nested] == [(92, hook_list)]

    static, intptr = 0x0002, 0x0004
    exec_, abi, gil, interpreters, name, doc = 85, 109, 87, 86, 100, 101
    listed = {entry.sl_id: entry for entry in entries(hook_list, Slot)}
    assert list(listed) == [exec_, abi, gil, interpreters, name, doc]
    assert all(entry.sl_reserved == 0 for entry in listed.values())
    # Static data is marked so; the two answers are codes carried as pointers.
    for slot in (abi, name, doc):
        assert listed[slot].sl_flags == static
    for slot in (gil, interpreters):
        assert listed[slot].sl_flags == intptr
    assert listed[gil].value == 1            # Py_MOD_GIL_NOT_USED
    assert listed[interpreters].value is None  # Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    # The same name and documentation objects as the definition's.
    assert listed[name].value == definition.m_name
    assert listed[doc].value == definition.m_doc
    # PyABIInfo: major 1, minor 0, flags 2 (built for the interpreter with the
    # global lock), build version 0, ABI version 0.
    assert ctypes.string_at(listed[abi].value, 12) == bytes([1, 0, 2, 0]) + bytes(8)


def test_a_sub_interpreter_may_not_import_the_module():
    # The classes and PanicException are per process: a second interpreter
    # must be refused rather than handed the first one's objects.
    pytest.importorskip("concurrent.interpreters")
    module_dir = str(pathlib.Path(o.__file__).parent)
    inner = f"import sys; sys.path.insert(0, {module_dir!r}); import _orvinta"
    code = (
        "from concurrent import interpreters\n"
        "interpreter = interpreters.create()\n"
        "try:\n"
        f"    interpreter.exec({inner!r})\n"
        "except interpreters.ExecutionFailed as error:\n"
        "    print(error.excinfo.type.__name__, '|', error.excinfo.msg)\n"
        "else:\n"
        "    print('imported')\n"
        "interpreter.close()\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout.splitlines() == [
        "ImportError | module _orvinta does not support loading in subinterpreters"
    ], done.stdout + done.stderr
