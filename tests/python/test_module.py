"""Start-up of `_orvinta` and the conventions its nine classes share."""

import copy
import importlib
import inspect
import pickle
import subprocess
import sys
import weakref

import pytest

import _orvinta as o
import support

CLASS_NAMES = [
    "FaultSegment", "SlipModel", "VelocityModel1D", "SourceParameters", "PathParameters",
    "SiteParameters", "RecordParameters", "HfConfig", "Simulator",
]

# (class, inspect.signature text)
SIGNATURES = [
    ("FaultSegment",
     "(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
     "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km, "
     "slip, rise_time_s, rupture_time_s, stress_drop_bars)"),
    ("SlipModel", "(segments)"),
    ("VelocityModel1D",
     "(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s, "
     "vs_moho_km_s)"),
    ("SourceParameters",
     "(*, corner_frequency_constant, corner_frequency_alpha, rupture_velocity_fraction, "
     "rupture_velocity_shallow, rupture_velocity_deep, rupture_velocity_sigma)"),
    ("PathParameters", "(*, rayset, path_duration_model)"),
    ("SiteParameters", "(*, fmax_hz)"),
    ("RecordParameters", "(*, duration_s, dt)"),
    ("HfConfig", "(*, source, path, site, record)"),
    ("Simulator", "(config, slip_model, velocity_model)"),
]

# (class, __doc__): the body under the signature line.
DOCS = [
    ("FaultSegment",
     "One fault segment: geometry plus the four subfault grids.\n\n"
     "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
     "row order the `.stoch` format itself uses."),
    ("SlipModel", "A whole slip model: one or more [`PyFaultSegment`]."),
    ("VelocityModel1D", "The 1-D velocity model, already truncated at the Moho."),
    ("SourceParameters",
     "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
     "rupture travels."),
    ("PathParameters",
     "The path from source to site shared by every station: which rays, and how duration grows\n"
     "with distance."),
    ("SiteParameters",
     "The near-surface parameters shared by every station.\n\n"
     "Quarter-wavelength site amplification is always applied and is not a field here."),
    ("RecordParameters", "The shape of the record to produce."),
    ("HfConfig", "Everything needed to simulate, with nothing about where the inputs came from."),
]


def one_of_each():
    """A fresh instance of every class, keyed by class name."""
    seg = support.segment()
    return {
        "FaultSegment": seg,
        "SlipModel": o.SlipModel([seg]),
        "VelocityModel1D": support.velocity_model(),
        "SourceParameters": o.SourceParameters(**support.source_kwargs()),
        "PathParameters": o.PathParameters(rayset=[0], path_duration_model=0),
        "SiteParameters": o.SiteParameters(fmax_hz=10.0),
        "RecordParameters": o.RecordParameters(duration_s=1.0, dt=0.01),
        "HfConfig": support.config(),
        "Simulator": support.simulator(),
    }


def test_all_lists_the_nine_classes_in_order_and_doc_is_empty():
    assert o.__all__ == CLASS_NAMES
    assert o.__doc__ == ""
    public = {name for name in vars(o) if not name.startswith("__")}
    assert public == set(CLASS_NAMES)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_names(name):
    cls = getattr(o, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name


@pytest.mark.parametrize("name, signature", SIGNATURES)
def test_text_signature(name, signature):
    assert str(inspect.signature(getattr(o, name))) == signature


def test_fault_segment_signature_is_fourteen_keyword_only_parameters():
    parameters = inspect.signature(o.FaultSegment).parameters.values()
    assert len(parameters) == 14
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters)


@pytest.mark.parametrize("name, doc", DOCS)
def test_class_doc(name, doc):
    assert getattr(o, name).__doc__ == doc


def test_simulator_doc_and_method_doc():
    doc = o.Simulator.__doc__
    paragraphs = doc.split("\n\n")
    assert paragraphs[0] == "A configured simulation, ready to run stations against."
    assert paragraphs[1] == (
        "Built once per source; the station-independent work \u2014 the air layer, the slip-model\n"
        "normalisation, the moment scaling \u2014 happens here rather than per station.")
    assert paragraphs[2] == "# Threads, not processes"
    assert "releases the GIL" in paragraphs[3]
    assert paragraphs[3].endswith(
        "so one of these can be shared across a\n**dask thread pool**. It is deliberately not "
        "picklable: `dask.distributed` would need to\nsend it between processes, and a silent "
        "re-normalisation on the far side is a worse\nfailure than a loud one here.")
    assert len(paragraphs) == 4
    method = o.Simulator.run_stations
    assert method.__doc__ == (
        "Simulate a batch of stations.\n\nReturns acceleration in cm/s^2, shaped "
        "`(3, n_station, n_time)` with components\nordered 090/000/vertical.")
    assert str(inspect.signature(method)) == (
        "(self, /, *, latitude_deg, longitude_deg, station_seed, kappa_s, q_frequency_exponent)")


def test_attribute_docs():
    assert o.SlipModel.subfault_count.__doc__ == "Total subfaults across all segments"
    assert o.VelocityModel1D.layer_count.__doc__ == "Layers remaining after Moho truncation."


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_final(name):
    with pytest.raises(TypeError):
        type("Derived", (getattr(o, name),), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_refuse_attributes_weakrefs_pickling_and_copying(name):
    instance = one_of_each()[name]
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(AttributeError):
        instance.__dict__  # noqa: B018 - no per-instance dictionary
    with pytest.raises(TypeError):
        weakref.ref(instance)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(instance, protocol)
    with pytest.raises(TypeError):
        copy.copy(instance)
    with pytest.raises(TypeError):
        copy.deepcopy(instance)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_identity_equality_and_hash(name):
    first, second = one_of_each()[name], one_of_each()[name]
    assert first == first
    assert first != second
    assert hash(first) != hash(second)
    assert hash(first) == hash(first)


@pytest.mark.parametrize("attribute", ["subfault_count", "layer_count"])
def test_read_only_attributes(attribute):
    instance = o.SlipModel([support.segment()]) if attribute == "subfault_count" \
        else support.velocity_model()
    before = getattr(instance, attribute)
    with pytest.raises(AttributeError):
        setattr(instance, attribute, 99)
    with pytest.raises(AttributeError):
        delattr(instance, attribute)
    assert getattr(instance, attribute) == before


def test_init_on_an_existing_instance_changes_nothing():
    slip = o.SlipModel([support.segment(rows=1, cols=1)])
    slip.__init__([support.segment(rows=4, cols=4)])
    assert slip.subfault_count == 1


def test_class_objects_accept_attributes():
    # Not immutable types: the class objects themselves can be given attributes.
    o.RecordParameters.test_marker = 1
    try:
        assert o.RecordParameters.test_marker == 1
    finally:
        del o.RecordParameters.test_marker


def test_reimport_gives_the_same_class_objects():
    old_module = sys.modules.pop("_orvinta")
    old_instance = o.SiteParameters(fmax_hz=1.0)
    try:
        fresh = importlib.import_module("_orvinta")
        assert fresh is not old_module
        assert fresh.__all__ == CLASS_NAMES
        for name in CLASS_NAMES:
            assert getattr(fresh, name) is getattr(old_module, name)
        assert isinstance(old_instance, fresh.SiteParameters)
    finally:
        sys.modules["_orvinta"] = old_module


# (class, a call that fails at its last step: the value checks, or the
# conversion of its last argument where the class checks no values)
FAILING_CONSTRUCTIONS = [
    ("FaultSegment", lambda: support.segment(stress_drop_bars=support.grid(0.0))),
    ("SlipModel", lambda: o.SlipModel([])),
    ("VelocityModel1D", lambda: support.velocity_model(vs_moho_km_s=1.0)),
    ("SourceParameters", lambda: o.SourceParameters(**support.source_kwargs(
        rupture_velocity_sigma="x"))),
    ("PathParameters", lambda: o.PathParameters(rayset=[0], path_duration_model=5)),
    ("SiteParameters", lambda: o.SiteParameters(fmax_hz=None)),
    ("RecordParameters", lambda: o.RecordParameters(duration_s=1.0, dt=None)),
    ("HfConfig", lambda: o.HfConfig(source=o.SourceParameters(**support.source_kwargs()),
                                    path=o.PathParameters(rayset=[0], path_duration_model=0),
                                    site=o.SiteParameters(fmax_hz=1.0), record=None)),
    ("Simulator", lambda: o.Simulator(
        support.config(), o.SlipModel([support.segment(), support.segment(subfault_width_km=3)]),
        support.velocity_model())),
]


@pytest.mark.parametrize("name, call", FAILING_CONSTRUCTIONS,
                         ids=[c[0] for c in FAILING_CONSTRUCTIONS])
def test_a_failing_constructor_leaves_no_instance(name, call):
    # Every instance holds a reference to its class, so an instance left
    # behind by a failed construction would raise the class's count.
    cls = getattr(o, name)
    before = sys.getrefcount(cls)
    for _ in range(5):
        with pytest.raises((TypeError, ValueError)):
            call()
    assert sys.getrefcount(cls) == before


def test_panic_exception_is_a_base_exception_with_one_argument():
    panic = support.panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "broken invariant" in panic.__doc__
    assert "BaseException" in panic.__doc__
    assert not hasattr(o, "PanicException")
    # Created once per process.
    assert support.panic_type() is panic


def test_a_fault_escapes_except_exception():
    sim = support.simulator(rayset=[0, -1])
    caught = None
    try:
        try:
            sim.run_stations(**support.stations(1))
        except Exception:  # a fault must not be caught here
            pytest.fail("a fault was caught by `except Exception`")
    except BaseException as error:  # noqa: B902
        caught = error
    assert type(caught).__name__ == "PanicException"
    assert len(caught.args) == 1
    assert caught.args[0] == "ray type -1 is negative; th1 would be undefined"


def test_only_two_symbols_are_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", o.__file__], capture_output=True,
                        text=True, check=True)
    # (name, kind): both are functions in the text section.
    symbols = sorted((line.split()[-1], line.split()[-2]) for line in nm.stdout.splitlines()
                     if line.strip())
    assert symbols == [("PyInit__orvinta", "T"), ("PyModExport__orvinta", "T")]


def test_fault_report_on_stderr_in_a_fresh_interpreter():
    # In a fresh interpreter: import, then one fault; its report names the
    # thread, the file:line:column and the message.
    code = (
        "import sys; sys.path.insert(0, %r); import support\n"
        "try:\n"
        "    support.simulator(rayset=[-1]).run_stations(**support.stations(1))\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e.args)\n"
    ) % (str(__import__("pathlib").Path(support.__file__).parent),)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("PanicException ('ray type -1 is negative")
    assert "ray type -1 is negative" in done.stderr
    assert "thread" in done.stderr
    assert ".cpp:" in done.stderr



def _module_before_exec():
    """A new module object from the extension, its exec step not yet run."""
    import importlib.util
    found = importlib.util.spec_from_file_location("_orvinta", o.__file__)
    return found, importlib.util.module_from_spec(found)


def test_exec_step_appends_to_an_existing_all_list():
    class Names(list):
        pass

    found, module = _module_before_exec()
    module.__all__ = Names(["earlier"])
    found.loader.exec_module(module)
    assert type(module.__all__) is Names
    assert module.__all__ == ["earlier"] + CLASS_NAMES
    assert module.Simulator is o.Simulator


def test_exec_step_refuses_an_all_that_is_not_a_list():
    found, module = _module_before_exec()
    module.__all__ = ("FaultSegment",)
    with pytest.raises(TypeError) as info:
        found.loader.exec_module(module)
    assert info.value.args == ("'tuple' object is not an instance of 'list'",)
    assert not hasattr(module, "FaultSegment")


FAKE_NUMPY_CASES = [
    # (id, version, files of the fake package, the underlying error)
    ("no core package", "1.24.0", {},
     "ModuleNotFoundError: No module named 'numpy.core'"),
    ("2.x looks in numpy._core", "2.0.0", {"core/__init__.py": "", "core/multiarray.py": ""},
     "ModuleNotFoundError: No module named 'numpy._core'"),
    ("no capsule", "1.24.0", {"core/__init__.py": "", "core/multiarray.py": ""},
     "AttributeError: module 'numpy.core.multiarray' has no attribute '_ARRAY_API'"),
    ("not a capsule", "1.24.0",
     {"core/__init__.py": "", "core/multiarray.py": "_ARRAY_API = 5\n"},
     "TypeError: 'int' object is not an instance of 'PyCapsule'"),
]


def _fake_capsule(abi, feature, endianness):
    """A multiarray module whose `_ARRAY_API` table answers only the three
    interface queries (ABI version, C-API feature version, byte order)."""
    return (
        "import ctypes\n"
        "_table = (ctypes.c_void_p * 283)()\n"
        "_keep = []\n"
        "for index, restype, value in ((0, ctypes.c_uint, %d), (211, ctypes.c_uint, %d),\n"
        "                              (210, ctypes.c_int, %d)):\n"
        "    query = ctypes.CFUNCTYPE(restype)(lambda value=value: value)\n"
        "    _keep.append(query)\n"
        "    _table[index] = ctypes.cast(query, ctypes.c_void_p).value\n"
        "_new = ctypes.pythonapi.PyCapsule_New\n"
        "_new.restype = ctypes.py_object\n"
        "_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
        "_ARRAY_API = _new(ctypes.addressof(_table), None, None)\n"
    ) % (abi, feature, endianness)


# Each case passes the checks before its own, each at its boundary value.
FAKE_NUMPY_CASES += [
    ("ABI version too new", "1.24.0",
     {"core/__init__.py": "", "core/multiarray.py": _fake_capsule(0x20000AB, 0xC, 1)},
     "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy "
     "is 0x20000ab"),
    ("C-API feature version too old", "1.24.0",
     {"core/__init__.py": "", "core/multiarray.py": _fake_capsule(0x2000000, 0xB, 1)},
     "RuntimeError: module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the "
     "running NumPy has C-API version 0xb"),
    ("big-endian NumPy", "2.1.0",
     {"_core/__init__.py": "", "_core/multiarray.py": _fake_capsule(0x1000009, 0xC, 2)},
     "RuntimeError: module compiled as little endian, but detected different endianness at "
     "runtime"),
]

FAKE_LIB = '''
class NumpyVersion:
    def __init__(self, text):
        self.major = int(text.split(".")[0])
'''


@pytest.mark.parametrize("version, files, underlying", [c[1:] for c in FAKE_NUMPY_CASES],
                         ids=[c[0] for c in FAKE_NUMPY_CASES])
def test_numpy_capsule_failure_is_a_fault_and_is_retried(tmp_path, version, files, underlying):
    package = tmp_path / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (package / "lib" / "__init__.py").write_text(FAKE_LIB)
    for name, text in files.items():
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        (package / name).write_text(text)
    module_dir = str(__import__("pathlib").Path(o.__file__).parent)
    code = (
        "import sys\n"
        f"sys.path[:0] = [{str(tmp_path)!r}, {module_dir!r}]\n"
        "import _orvinta\n"
        "numbers = dict.fromkeys(['longitude_deg', 'latitude_deg', 'strike_deg', 'dip_deg',\n"
        "    'rake_deg', 'top_depth_km', 'subfault_length_km', 'subfault_width_km',\n"
        "    'hypocentre_along_strike_km', 'hypocentre_down_dip_km'], 1.0)\n"
        "for attempt in range(2):\n"
        "    try:\n"
        "        _orvinta.FaultSegment(**numbers, slip=[[1.0]], rise_time_s=0,\n"
        "                              rupture_time_s=0, stress_drop_bars=0)\n"
        "    except Exception as error:\n"
        "        print('caught as Exception', type(error).__name__, error)\n"
        "    except BaseException as error:\n"
        "        print(type(error).__name__, '|', error.args[0])\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    expected = "PanicException | Failed to access NumPy array API capsule: " + underlying
    assert done.stdout.splitlines() == [expected, expected], done.stdout + done.stderr
    # Each attempt wrote its own report.
    assert done.stderr.count("Failed to access NumPy array API capsule") == 2
