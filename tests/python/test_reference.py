"""What the README's Reference tells a user holds for the module: the argument
tables (order and element types), the high-frequency filter, where samples
sit in time, the values that change nothing, and what unvalidated inputs give."""

import inspect
import pathlib
import re

import numpy as np
import pytest

import _orvinta as o
import support

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
DTYPES = {"float32": np.float32, "float64": np.float64, "uint64": np.uint64}


def reference_tables():
    """{section title: [(argument, Python type cell)]} for every argument table of the Reference."""
    text = README.read_text()
    reference = text[text.index("\n## Reference\n"):]
    reference = reference[: reference.index("\n## ", 1)]
    tables = {}
    for section in reference.split("\n### ")[1:]:
        title, _, body = section.partition("\n")
        rows = [line for line in body.splitlines() if line.startswith("| `")]
        if "| argument | meaning | unit | Python type |" in body:
            cells = [[c.strip() for c in row.strip("|").split("|")] for row in rows]
            tables[title] = [(c[0].strip("`"), c[3]) for c in cells]
    return tables


TABLES = reference_tables()
SIM = support.simulator()
CALLABLES = {  # section title: (callable, valid keyword arguments)
    "FaultSegment": (o.FaultSegment, support.segment_kwargs()),
    "VelocityModel1D": (o.VelocityModel1D, support.velocity_kwargs()),
    "Simulator.run_stations": (SIM.run_stations, support.stations(3)),
}


def test_every_class_has_its_arguments_in_signature_order():
    expected = {name: getattr(o, name) for name in o.__all__}
    expected["Simulator.run_stations"] = o.Simulator.run_stations
    assert set(TABLES) == set(expected)
    for title, target in expected.items():
        names = [p for p in inspect.signature(target).parameters if p != "self"]
        assert [argument for argument, _ in TABLES[title]] == names, title


@pytest.mark.parametrize("title, argument, kind", [
    (title, argument, kind) for title in CALLABLES for argument, kind in TABLES[title]
    if kind.startswith("array")])
def test_documented_element_type_is_the_one_taken(title, argument, kind):
    call, kwargs = CALLABLES[title]
    dtype_name, dims = re.fullmatch(r"array, `(\w+)`, ([12])-D.*", kind).groups()
    values = np.asarray(kwargs[argument])
    assert values.ndim == int(dims)
    call(**dict(kwargs, **{argument: values.astype(DTYPES[dtype_name])}))
    for other in set(DTYPES) - {dtype_name}:
        with pytest.raises(TypeError, match="'ndarray' object is not an instance of 'ndarray'") as info:
            call(**dict(kwargs, **{argument: values.astype(DTYPES[other])}))
        assert info.value.__notes__ == [f"while processing '{argument}'"]


def test_a_masked_array_is_read_without_its_mask():
    arrays = support.stations(3)
    masked = dict(arrays, kappa_s=np.ma.masked_array(arrays["kappa_s"], mask=[1, 0, 1]),
                  latitude_deg=np.ma.masked_array(arrays["latitude_deg"], mask=[0, 1, 0]))
    np.testing.assert_array_equal(SIM.run_stations(**masked), SIM.run_stations(**arrays))


def station_rows(kappa, **config):
    arrays = support.stations(2)
    arrays["kappa_s"] = np.full(2, kappa, np.float32)
    return support.simulator(**config).run_stations(**arrays)


# (case, kappa_s, config of record a, config of record b, which components are equal)
FILTER_CASES = [
    ("kappa > 0: fmax plays no part", 0.04, dict(fmax_hz=5.0), dict(fmax_hz=20.0), [True, True, True]),
    ("kappa > 0: a NaN fmax plays no part", 0.04, dict(fmax_hz=10.0), dict(fmax_hz=np.nan),
     [True, True, True]),
    ("kappa 0: fmax below 15 Hz shapes every component", 0.0, dict(fmax_hz=5.0), dict(fmax_hz=10.0),
     [False, False, False]),
    ("kappa 0: the vertical's fmax is capped at 15 Hz", 0.0, dict(fmax_hz=15.0), dict(fmax_hz=25.0),
     [False, False, True]),
]


@pytest.mark.parametrize("case, kappa, a, b, equal", FILTER_CASES, ids=[c[0] for c in FILTER_CASES])
def test_high_frequency_filter(case, kappa, a, b, equal):
    first, second = station_rows(kappa, **a), station_rows(kappa, **b)
    assert [np.array_equal(first[c], second[c]) for c in range(3)] == equal


def test_negative_kappa_is_kappa_zero():
    np.testing.assert_array_equal(station_rows(-0.04), station_rows(0.0))


def nan_from_first_arrival(row):
    """Zeros up to the first arrival, NaN from there on."""
    start = np.flatnonzero(row != 0)[0]
    return not row[:start].any() and np.isnan(row[start:]).all()


@pytest.mark.parametrize("kappa, fmax, nan_components", [
    (np.nan, 10.0, [True, True, True]),
    (0.0, np.nan, [True, True, False]),  # the vertical takes 15 Hz
])
def test_nan_kappa_or_fmax(kappa, fmax, nan_components):
    rows = station_rows(kappa, fmax_hz=fmax)
    for c, nan in enumerate(nan_components):
        for station in rows[c]:
            assert nan_from_first_arrival(station) if nan else np.isfinite(station).all()


@pytest.mark.parametrize("shift_in_dt, samples", [(5.0, 5), (5.9, 5), (0.9, 0), (12.0, 12)])
def test_rupture_times_delay_the_record_by_whole_samples(shift_in_dt, samples):
    dt = 0.125  # exact in binary, so the shifts are exact multiples of it

    def record(rupture_time):
        segment = support.segment(1, 1, rupture_time_s=np.full((1, 1), rupture_time, np.float32))
        sim = o.Simulator(support.config(rayset=[0, 1], duration_s=60.0, dt=dt), o.SlipModel([segment]),
                          support.velocity_model())
        return sim.run_stations(**support.stations(1))

    base, shifted = record(0.0), record(shift_in_dt * dt)
    np.testing.assert_array_equal(shifted[..., samples:], base[..., :base.shape[2] - samples])
    assert not shifted[..., :samples].any()


def records(segment=None, rayset=(0, 1, 2), config=None, **velocity):
    sim = o.Simulator(support.config(rayset=rayset, **(config or {})),
                      o.SlipModel([support.segment(**(segment or {}))]), support.velocity_model(**velocity))
    return sim.run_stations(**support.stations(3))


DEEP = dict(rows=4, cols=3, top_depth_km=18.0)
DEEP_CRUST = dict(thickness_km=np.array([1.0, 4.0, 40.0, 0.0], np.float32))
# (case, reference record, changed record, equal)
STORED_CASES = [
    ("rise times", lambda: records(), lambda: records(dict(rise_time_s=support.grid(7.0))), True),
    ("hypocentre along strike", lambda: records(),
     lambda: records(dict(hypocentre_along_strike_km=99.0)), True),
    ("P-wave quality factors", lambda: records(),
     lambda: records(quality_factor_p=np.array([1, 2, 3, 4], np.float32)), True),
    ("P-wave speeds above 0.01 km/s", lambda: records(),
     lambda: records(vp_km_s=np.array([3.0, 5.5, 7.0, 8.5])), True),
    ("the half-space's thickness", lambda: records(),
     lambda: records(thickness_km=np.array([1, 4, 20, 50], np.float32)), True),
    ("S-wave quality factors on the straight ray", lambda: records(rayset=[0]),
     lambda: records(rayset=[0], quality_factor_s=np.array([5, 10, 20, 40], np.float32)), True),
    ("S-wave quality factors on layered rays", lambda: records(rayset=[1, 2]),
     lambda: records(rayset=[1, 2], quality_factor_s=np.array([5, 10, 20, 40], np.float32)), False),
    ("hypocentre down dip, shallow segment", lambda: records(dict(hypocentre_down_dip_km=0.0)),
     lambda: records(dict(hypocentre_down_dip_km=8.0)), True),
    ("hypocentre down dip below 15 km moves the deep taper",
     lambda: records(dict(DEEP, hypocentre_down_dip_km=0.0), config=dict(rupture_velocity_deep=1.5),
                     **DEEP_CRUST),
     lambda: records(dict(DEEP, hypocentre_down_dip_km=8.0), config=dict(rupture_velocity_deep=1.5),
                     **DEEP_CRUST), False),
]


@pytest.mark.parametrize("case, reference, changed, equal", STORED_CASES, ids=[c[0] for c in STORED_CASES])
def test_what_changes_the_records_and_what_does_not(case, reference, changed, equal):
    assert np.array_equal(reference(), changed()) == equal


def batch_with(sim=None, **station):
    arrays = support.stations(1)
    arrays.update({k: np.array([v], np.float32) for k, v in station.items()})
    return (sim or support.simulator()).run_stations(**arrays)


def zero_rows_with_some_nan(result):
    return np.isnan(result).any() and not (np.isfinite(result) & (result != 0)).any()


def nan_after_zeros(result):
    return all(nan_from_first_arrival(row) for row in result.reshape(-1, result.shape[2]))


PANIC = support.panic_type()
# (case, batch, what it gives)
UNVALIDATED_CASES = [
    ("NaN latitude", lambda: batch_with(latitude_deg=np.nan), zero_rows_with_some_nan),
    ("latitude beyond 90", lambda: batch_with(latitude_deg=100.0), zero_rows_with_some_nan),
    ("NaN longitude", lambda: batch_with(longitude_deg=np.nan), zero_rows_with_some_nan),
    ("longitude plus 360", lambda: batch_with(longitude_deg=-118.2 + 360.0),
     lambda r: np.array_equal(r, batch_with(longitude_deg=-118.2))),
    ("infinite kappa", lambda: batch_with(kappa_s=np.inf), lambda r: not r.any()),
    ("fmax 0 with kappa 0", lambda: batch_with(support.simulator(fmax_hz=0.0), kappa_s=0.0),
     lambda r: not r.any()),
    ("NaN Q exponent", lambda: batch_with(q_frequency_exponent=np.nan), nan_after_zeros),
    ("negative dt", lambda: batch_with(support.simulator(dt=-0.01)), lambda r: r.shape == (3, 1, 0)),
    ("NaN dt", lambda: batch_with(support.simulator(dt=np.nan)), lambda r: r.shape == (3, 1, 0)),
    ("NaN duration", lambda: batch_with(support.simulator(duration_s=np.nan)),
     lambda r: r.shape == (3, 1, 0)),
    ("duration 2.6 s at dt 0.025 s", lambda: batch_with(support.simulator(duration_s=2.6, dt=0.025)),
     lambda r: r.shape == (3, 1, 103)),
    ("NaN corner-frequency constant",
     lambda: batch_with(support.simulator(corner_frequency_constant=np.nan)), zero_rows_with_some_nan),
    ("negative corner-frequency constant",
     lambda: batch_with(support.simulator(corner_frequency_constant=-1.0)), zero_rows_with_some_nan),
    ("NaN shear speed", lambda: records(vsh_km_s=np.array([1.2, np.nan, 3.6, 4.6])), zero_rows_with_some_nan),
    ("all slip 0", lambda: records(dict(slip=support.grid(0.0))), zero_rows_with_some_nan),
    ("all slip negative", lambda: records(dict(slip=support.grid(-100.0))), zero_rows_with_some_nan),
    ("one NaN slip", lambda: records(dict(slip=np.array([[np.nan, 1, 1], [1, 1, 1]], np.float32))),
     zero_rows_with_some_nan),
]


@pytest.mark.parametrize("case, run, gives", UNVALIDATED_CASES, ids=[c[0] for c in UNVALIDATED_CASES])
def test_unvalidated_inputs(case, run, gives):
    assert gives(run())


@pytest.mark.parametrize("config", [dict(corner_frequency_constant=0.0),
                                    dict(rupture_velocity_fraction=0.0),
                                    dict(dt=0.0, duration_s=0.0),
                                    dict(duration_s=np.inf)])
def test_unvalidated_inputs_that_abandon_the_batch(config):
    with pytest.raises(PANIC):
        batch_with(support.simulator(**config))
