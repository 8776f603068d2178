"""Argument binding and conversion: the words of every mismatch, the note
naming the failing argument, and what each conversion kind accepts."""

import ctypes

import numpy as np
import pytest

import _orvinta as o
import support

SIM = support.simulator()
SEGMENT = support.segment()
SLIP = o.SlipModel([SEGMENT])
VM = support.velocity_model()
CFG = support.config()
SOURCE = o.SourceParameters(**support.source_kwargs())
PATH = o.PathParameters(rayset=[0], path_duration_model=0)
SITE = o.SiteParameters(fmax_hz=10.0)
RECORD = o.RecordParameters(duration_s=1.0, dt=0.01)
STATIONS = support.stations(3)


def run(*args, **overrides):
    return SIM.run_stations(*args, **overrides)


def stations_with(**overrides):
    return dict(STATIONS, **overrides)


def hf(**overrides):
    kwargs = dict(source=SOURCE, path=PATH, site=SITE, record=RECORD)
    kwargs.update(overrides)
    return o.HfConfig(**kwargs)


def stride2(dtype, n=6):
    return np.zeros(n, dtype)[::2]


F32 = np.float32

# (id, call, exception type, message, note naming the argument or None)
BINDING_CASES = [
    ("surplus positional on keyword-only method",
     lambda: run(np.zeros(1, F32)), TypeError,
     "Simulator.run_stations() takes 0 positional arguments but 1 was given", None),
    ("surplus positional counts every one",
     lambda: run(1, 2, **STATIONS), TypeError,
     "Simulator.run_stations() takes 0 positional arguments but 2 were given", None),
    ("run_stations missing all five",
     lambda: run(), TypeError,
     "Simulator.run_stations() missing 5 required keyword arguments: 'latitude_deg', "
     "'longitude_deg', 'station_seed', 'kappa_s', and 'q_frequency_exponent'", None),
    ("run_stations missing one",
     lambda: run(**{k: v for k, v in STATIONS.items() if k != "kappa_s"}), TypeError,
     "Simulator.run_stations() missing 1 required keyword argument: 'kappa_s'", None),
    ("run_stations unexpected keyword",
     lambda: run(**STATIONS, seed=1), TypeError,
     "Simulator.run_stations() got an unexpected keyword argument 'seed'", None),
    ("unexpected keyword",
     lambda: o.SiteParameters(fmax_hz=10.0, fmax=10.0), TypeError,
     "SiteParameters.__new__() got an unexpected keyword argument 'fmax'", None),
    ("unexpected keyword reported before missing ones",
     lambda: o.RecordParameters(dt_s=0.1), TypeError,
     "RecordParameters.__new__() got an unexpected keyword argument 'dt_s'", None),
    ("first unexpected keyword ends binding",
     lambda: o.RecordParameters(b=1, a=2), TypeError,
     "RecordParameters.__new__() got an unexpected keyword argument 'b'", None),
    ("positional on keyword-only constructor",
     lambda: o.SiteParameters(1.0), TypeError,
     "SiteParameters.__new__() takes 0 positional arguments but 1 was given", None),
    ("surplus positional reported before unexpected keyword",
     lambda: o.SiteParameters(1.0, nonsense=2), TypeError,
     "SiteParameters.__new__() takes 0 positional arguments but 1 was given", None),
    ("four positionals for three",
     lambda: o.Simulator(CFG, SLIP, VM, None), TypeError,
     "Simulator.__new__() takes 3 positional arguments but 4 were given", None),
    ("two positionals for one",
     lambda: o.SlipModel([SEGMENT], [SEGMENT]), TypeError,
     "SlipModel.__new__() takes 1 positional arguments but 2 were given", None),
    ("missing two positional",
     lambda: o.Simulator(CFG), TypeError,
     "Simulator.__new__() missing 2 required positional arguments: 'slip_model' and "
     "'velocity_model'", None),
    ("missing three positional",
     lambda: o.Simulator(), TypeError,
     "Simulator.__new__() missing 3 required positional arguments: 'config', 'slip_model', "
     "and 'velocity_model'", None),
    ("missing one positional",
     lambda: o.SlipModel(), TypeError,
     "SlipModel.__new__() missing 1 required positional argument: 'segments'", None),
    ("missing two keyword",
     lambda: o.RecordParameters(), TypeError,
     "RecordParameters.__new__() missing 2 required keyword arguments: 'duration_s' and 'dt'",
     None),
    ("missing one keyword",
     lambda: o.RecordParameters(dt=0.1), TypeError,
     "RecordParameters.__new__() missing 1 required keyword argument: 'duration_s'", None),
    ("missing keyword in parameter order",
     lambda: o.FaultSegment(longitude_deg=1.0, slip=None), TypeError,
     "FaultSegment.__new__() missing 12 required keyword arguments: 'latitude_deg', "
     "'strike_deg', 'dip_deg', 'rake_deg', 'top_depth_km', 'subfault_length_km', "
     "'subfault_width_km', 'hypocentre_along_strike_km', 'hypocentre_down_dip_km', "
     "'rise_time_s', 'rupture_time_s', and 'stress_drop_bars'", None),
    ("duplicate via positional and keyword",
     lambda: o.SlipModel([SEGMENT], segments=[SEGMENT]), TypeError,
     "SlipModel.__new__() got multiple values for argument 'segments'", None),
    ("duplicate third positional",
     lambda: o.Simulator(CFG, SLIP, VM, velocity_model=VM), TypeError,
     "Simulator.__new__() got multiple values for argument 'velocity_model'", None),
    # --- conversions ---
    ("string for a float",
     lambda: o.SiteParameters(fmax_hz="10"), TypeError, "must be real number, not str",
     "fmax_hz"),
    ("None for a float",
     lambda: o.RecordParameters(duration_s=1.0, dt=None), TypeError,
     "must be real number, not NoneType", "dt"),
    ("int beyond a 64-bit float",
     lambda: o.SiteParameters(fmax_hz=10 ** 400), OverflowError,
     "int too large to convert to float", "fmax_hz"),
    ("int32 too large",
     lambda: o.PathParameters(rayset=[0, 1], path_duration_model=2 ** 31), OverflowError,
     "number too large to fit in target type", "path_duration_model"),
    ("int32 too small",
     lambda: o.PathParameters(rayset=[0], path_duration_model=-2 ** 31 - 1), OverflowError,
     "number too small to fit in target type", "path_duration_model"),
    ("int beyond 64 bits",
     lambda: o.PathParameters(rayset=[0], path_duration_model=2 ** 70), OverflowError,
     None, "path_duration_model"),
    ("float for an int32",
     lambda: o.PathParameters(rayset=[0], path_duration_model=2.0), TypeError,
     "'float' object cannot be interpreted as an integer", "path_duration_model"),
    ("string for a list",
     lambda: o.PathParameters(rayset="01", path_duration_model=0), TypeError,
     "Can't extract `str` to `Vec`", "rayset"),
    ("int for a list",
     lambda: o.PathParameters(rayset=5, path_duration_model=0), TypeError,
     "'int' object is not an instance of 'Sequence'", "rayset"),
    ("dict for a list",
     lambda: o.PathParameters(rayset={0: 1}, path_duration_model=0), TypeError,
     "'dict' object is not an instance of 'Sequence'", "rayset"),
    ("set for a list",
     lambda: o.PathParameters(rayset={0}, path_duration_model=0), TypeError,
     "'set' object is not an instance of 'Sequence'", "rayset"),
    ("generator for a list",
     lambda: o.PathParameters(rayset=(c for c in [0]), path_duration_model=0), TypeError,
     "'generator' object is not an instance of 'Sequence'", "rayset"),
    ("None for a list",
     lambda: o.SlipModel(None), TypeError, "'None' is not an instance of 'Sequence'", "segments"),
    ("bad list element",
     lambda: o.PathParameters(rayset=[0, 1.5], path_duration_model=0), TypeError,
     "'float' object cannot be interpreted as an integer", "rayset"),
    ("list element out of int32",
     lambda: o.PathParameters(rayset=[0, 2 ** 31], path_duration_model=0), OverflowError,
     "number too large to fit in target type", "rayset"),
    ("single segment, not in a sequence",
     lambda: o.SlipModel(SEGMENT), TypeError,
     "'FaultSegment' object is not an instance of 'Sequence'", "segments"),
    ("wrong class in a list",
     lambda: o.SlipModel([SEGMENT, SLIP]), TypeError,
     "'SlipModel' object is not an instance of 'FaultSegment'", "segments"),
    ("None for an instance",
     lambda: hf(source=None), TypeError, "'None' is not an instance of 'SourceParameters'",
     "source"),
    ("wrong class for an instance",
     lambda: hf(source=SITE), TypeError,
     "'SiteParameters' object is not an instance of 'SourceParameters'", "source"),
    ("dict for an instance",
     lambda: hf(record={}), TypeError, "'dict' object is not an instance of 'RecordParameters'",
     "record"),
    ("slip model as config",
     lambda: o.Simulator(SLIP, SLIP, VM), TypeError,
     "'SlipModel' object is not an instance of 'HfConfig'", "config"),
    ("list for an array",
     lambda: run(**stations_with(latitude_deg=[34.0, 34.1, 34.2])), TypeError,
     "'list' object is not an instance of 'ndarray'", "latitude_deg"),
    ("None for an array",
     lambda: run(**stations_with(kappa_s=None)), TypeError,
     "'None' is not an instance of 'ndarray'", "kappa_s"),
    ("2-D array for a 1-D one",
     lambda: run(**stations_with(latitude_deg=np.zeros((3, 1), F32))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "latitude_deg"),
    ("float64 for float32",
     lambda: run(**stations_with(kappa_s=np.zeros(3))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "kappa_s"),
    ("big-endian float32",
     lambda: run(**stations_with(longitude_deg=np.zeros(3, ">f4"))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "longitude_deg"),
    ("int64 seeds",
     lambda: run(**stations_with(station_seed=np.arange(3, dtype=np.int64))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "station_seed"),
    ("float32 grid of one dimension",
     lambda: o.FaultSegment(**support.segment_kwargs(slip=np.zeros(6, F32))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "slip"),
    ("float64 grid",
     lambda: o.FaultSegment(**support.segment_kwargs(stress_drop_bars=np.ones((2, 3)))),
     TypeError, "'ndarray' object is not an instance of 'ndarray'", "stress_drop_bars"),
    ("float32 vp",
     lambda: o.VelocityModel1D(**support.velocity_kwargs(vp_km_s=np.ones(4, F32))), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "vp_km_s"),
    ("float64 thickness, reported before a bad vs_moho",
     lambda: o.VelocityModel1D(**support.velocity_kwargs(thickness_km=np.ones(4),
                                                         vs_moho_km_s="x")),
     TypeError, "'ndarray' object is not an instance of 'ndarray'", "thickness_km"),
    ("strided view fails the flat view, without a note",
     lambda: run(**stations_with(latitude_deg=stride2(F32))), TypeError,
     "The given array is not contiguous or is misaligned.", None),
    ("only the first failing argument is reported",
     lambda: run(**stations_with(longitude_deg=[1.0], kappa_s=None)), TypeError,
     "'list' object is not an instance of 'ndarray'", "longitude_deg"),
    ("conversion errors come before flat-view errors",
     lambda: run(**stations_with(latitude_deg=stride2(F32), kappa_s=[0.0])), TypeError,
     "'list' object is not an instance of 'ndarray'", "kappa_s"),
    ("first of two failing numbers",
     lambda: o.FaultSegment(**support.segment_kwargs(strike_deg="a", longitude_deg=None)),
     TypeError, "must be real number, not NoneType", "longitude_deg"),
]


@pytest.mark.parametrize("call, error, message, note",
                         [case[1:] for case in BINDING_CASES],
                         ids=[case[0] for case in BINDING_CASES])
def test_binding_and_conversion_errors(call, error, message, note):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert info.value.args == (message,)
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([f"while processing '{note}'"] if note else [])


def test_keyword_and_positional_binding_agree():
    by_position = o.Simulator(CFG, SLIP, VM)
    by_keyword = o.Simulator(velocity_model=VM, slip_model=SLIP, config=CFG)
    a = by_position.run_stations(**STATIONS)
    b = by_keyword.run_stations(**STATIONS)
    np.testing.assert_array_equal(a, b)
    assert o.SlipModel(segments=[SEGMENT]).subfault_count == o.SlipModel([SEGMENT]).subfault_count


def test_non_string_keyword_is_unexpected_in_both_calling_forms():
    # Python code cannot pass a keyword that is not a string; a native caller
    # can, through the keyword dict of a constructor or the keyword-name
    # tuple of the fast calling convention.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    with pytest.raises(TypeError) as info:
        call(o.SiteParameters, (), {"fmax_hz": 1.0, 2: 3.0})
    assert info.value.args == ("SiteParameters.__new__() got an unexpected keyword argument '2'",)

    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * 6)(*STATIONS.values(), 1.0)
    with pytest.raises(TypeError) as info:
        vectorcall(SIM.run_stations, ctypes.addressof(values), 0, tuple(STATIONS) + (b"kappa_s",))
    assert info.value.args == (
        "Simulator.run_stations() got an unexpected keyword argument 'b'kappa_s''",)


def test_keyword_order_does_not_matter():
    reordered = dict(reversed(list(STATIONS.items())))
    np.testing.assert_array_equal(run(**reordered), run(**STATIONS))


def _record(value):
    """The stored 32-bit duration, seen through the record length it gives."""
    sim = support.simulator(duration_s=value, dt=1.0)
    return sim.run_stations(**support.stations(0)).shape[2]


class Indexable:
    def __index__(self):
        return 12


class Floatable:
    def __float__(self):
        return 3.0


# (value given for `duration_s` with dt 1, expected samples in the record)
FLOAT_CASES = [
    (10, 10),               # int accepted
    (True, 1),              # bool is an int
    (Floatable(), 3),       # __float__
    (Indexable(), 12),      # __index__ also converts to float
    (np.float64(7.0), 7),   # NumPy scalar
    (np.int32(5), 5),
    (16777217, 16777216),   # rounds to the nearest 32-bit value, 2^24
]


@pytest.mark.parametrize("value, samples", FLOAT_CASES)
def test_float_conversion(value, samples):
    assert _record(value) == samples


def test_float_narrowing_overflows_to_infinity():
    # 1e39 becomes inf in 32 bits, so the record length is not representable.
    sim = support.simulator(duration_s=1e39, dt=1.0)
    panic = support.panic_type()
    with pytest.raises(panic):
        sim.run_stations(**support.stations(0))


@pytest.mark.parametrize("code", [0, -1, -2 ** 31, True, False, np.int64(2), Indexable()])
def test_int32_conversion_accepts(code):
    if isinstance(code, Indexable):
        code = 12
    o.PathParameters(rayset=[0], path_duration_model=code)


@pytest.mark.parametrize("rayset", [
    [], (0, 1, 1), range(3), np.array([0, 1, 2]), np.array([0, 1], np.int32), b"\x00\x01",
    [np.int16(1), True],
])
def test_list_conversion_accepts_sequences(rayset):
    o.PathParameters(rayset=rayset, path_duration_model=0)


def test_list_whose_length_fails_is_still_iterated():
    class NoLength:
        def __getitem__(self, k):
            if k < 2:
                return k
            raise IndexError

        def __len__(self):
            raise RuntimeError("no length")

    o.PathParameters(rayset=NoLength(), path_duration_model=0)


def test_iteration_error_is_the_conversion_error():
    class Broken:
        def __getitem__(self, k):
            raise KeyError("broken")

        def __len__(self):
            return 1

    with pytest.raises(KeyError) as info:
        o.PathParameters(rayset=Broken(), path_duration_model=0)
    assert info.value.__notes__ == ["while processing 'rayset'"]


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize("variant", ["subclass", "empty strided", "same array twice",
                                     "uint64 as ulonglong", "read-only"])
def test_array_variants_accepted(variant):
    arrays = support.stations(3)
    if variant == "subclass":
        arrays["latitude_deg"] = arrays["latitude_deg"].view(ArraySubclass)
    elif variant == "empty strided":
        arrays = {k: v[:0] for k, v in arrays.items()}
        arrays["kappa_s"] = np.zeros(4, F32)[:0:2]
    elif variant == "same array twice":
        arrays["kappa_s"] = arrays["q_frequency_exponent"]
    elif variant == "uint64 as ulonglong":
        arrays["station_seed"] = arrays["station_seed"].astype(np.ulonglong)
    elif variant == "read-only":
        for v in arrays.values():
            v.flags.writeable = False
    result = run(**arrays)
    assert result.shape[1] == arrays["latitude_deg"].shape[0]


def test_fortran_and_strided_grids_are_accepted():
    values = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
    column_major = np.asfortranarray(values)
    strided = np.zeros((4, 6), np.float32)
    strided[::2, ::2] = values
    for slip in (column_major, strided[::2, ::2], values[::-1, ::-1].copy()[::-1, ::-1]):
        o.FaultSegment(**support.segment_kwargs(slip=slip))


def test_misaligned_array_fails_the_flat_view():
    raw = np.zeros(4 * 3 + 1, np.uint8)[1:]
    misaligned = raw.view(np.float32)
    assert not misaligned.flags.aligned
    with pytest.raises(TypeError) as info:
        run(**stations_with(kappa_s=misaligned))
    assert info.value.args == ("The given array is not contiguous or is misaligned.",)
    assert not hasattr(info.value, "__notes__")


def test_note_failure_keeps_the_original_exception():
    # An exception class whose add_note fails: the conversion's own error
    # propagates unchanged, without a note.
    class Odd(TypeError):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Bad:
        def __float__(self):
            raise Odd("odd float")

    with pytest.raises(Odd) as info:
        o.SiteParameters(fmax_hz=Bad())
    assert info.value.args == ("odd float",)
    assert not hasattr(info.value, "__notes__")

