"""The checks, messages and stored values of the nine classes' constructors.

Engine values cannot be read from Python apart from `subfault_count` and
`layer_count`; where a stored value matters, it is observed through the
records a simulator produces from it.
"""

import numpy as np
import pytest

import _orvinta as o
import support

F32 = np.float32
SHAPE_MESSAGE = ("slip {}, rise_time_s {}, rupture_time_s {} and stress_drop_bars {} must have "
                 "the same shape -- they describe the same subfaults")
STRESS_MESSAGE = "stress_drop_bars must be positive and finite everywhere; got {}"
EMPTY_GRID = "a segment needs at least one subfault; got an empty grid"


def grids(shapes, fill=1.0):
    names = ["slip", "rise_time_s", "rupture_time_s", "stress_drop_bars"]
    return {name: np.full(shape, fill, F32) for name, shape in zip(names, shapes)}


def batch(sim, n=3):
    return sim.run_stations(**support.stations(n))


# ---------------------------------------------------------------------------
# FaultSegment

@pytest.mark.parametrize("shapes, texts", [
    ([(2, 3), (2, 3), (3, 2), (2, 3)], ["(2, 3)", "(2, 3)", "(3, 2)", "(2, 3)"]),
    ([(2, 3), (3, 2), (2, 3), (2, 3)], ["(2, 3)", "(3, 2)", "(2, 3)", "(2, 3)"]),
    ([(2, 3), (2, 3), (2, 3), (1, 6)], ["(2, 3)", "(2, 3)", "(2, 3)", "(1, 6)"]),
    ([(0, 3), (0, 3), (0, 3), (3, 0)], ["(0, 3)", "(0, 3)", "(0, 3)", "(3, 0)"]),
])
def test_grid_shapes_must_agree(shapes, texts):
    with pytest.raises(ValueError) as info:
        o.FaultSegment(**support.segment_kwargs(**grids(shapes)))
    assert info.value.args == (SHAPE_MESSAGE.format(*texts),)


def test_shape_is_checked_before_stress_drops():
    kwargs = grids([(2, 3), (2, 3), (2, 3), (3, 2)], fill=-1.0)
    with pytest.raises(ValueError, match="must have the same shape"):
        o.FaultSegment(**support.segment_kwargs(**kwargs))


@pytest.mark.parametrize("value, text", [
    (-0.0, "-0"), (0.0, "0"), (-2.0, "-2"), (-1.5, "-1.5"), (np.inf, "inf"), (-np.inf, "-inf"),
    (np.nan, "NaN"), (-1e-45, "-0." + "0" * 44 + "1"),
])
def test_bad_stress_drop(value, text):
    stress = np.full((2, 3), 10.0, F32)
    stress[1, 1] = value
    with pytest.raises(ValueError) as info:
        support.segment(stress_drop_bars=stress)
    assert info.value.args == (STRESS_MESSAGE.format(text),)


@pytest.mark.parametrize("order", ["C", "F"])
def test_first_bad_stress_drop_in_row_major_order(order):
    stress = np.full((2, 5), 10.0, F32)
    stress[1, 2] = 0.0
    stress[0, 4] = np.nan
    stress = np.asarray(stress, order=order)
    kwargs = {name: np.ones((2, 5), F32) for name in ["slip", "rise_time_s", "rupture_time_s"]}
    with pytest.raises(ValueError) as info:
        support.segment(**kwargs, stress_drop_bars=stress)
    assert info.value.args == (STRESS_MESSAGE.format("NaN"),)


def test_first_bad_stress_drop_of_a_strided_view():
    base = np.full((4, 10), 10.0, F32)
    base[0, 2] = -3.0   # hidden by the view's strides
    base[2, 4] = -7.0   # view element [1, 2]
    view = base[::2, ::2]
    kwargs = {name: np.ones(view.shape, F32) for name in ["slip", "rise_time_s", "rupture_time_s"]}
    kwargs["stress_drop_bars"] = view
    base[0, 2] = 10.0
    with pytest.raises(ValueError) as info:
        support.segment(**kwargs)
    assert info.value.args == (STRESS_MESSAGE.format("-7"),)


def test_smallest_positive_subnormal_stress_drop_is_accepted():
    support.segment(stress_drop_bars=np.full((2, 3), 1e-45, F32))


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_grid(shape):
    with pytest.raises(ValueError) as info:
        o.FaultSegment(**support.segment_kwargs(**grids([shape] * 4)))
    assert info.value.args == (EMPTY_GRID,)


def test_nan_and_negative_values_are_stored():
    o.FaultSegment(**support.segment_kwargs(
        longitude_deg=np.nan, dip_deg=-10.0, subfault_length_km=-1.0, top_depth_km=np.inf,
        slip=np.full((2, 3), np.nan, F32), rise_time_s=np.full((2, 3), -1.0, F32),
        rupture_time_s=np.full((2, 3), np.nan, F32)))


def _rupture_grid(order):
    values = np.array([[0.0, 0.5, 1.0], [1.5, 2.0, 2.5]], F32)
    return np.asarray(values, order=order)


def test_grid_layout_does_not_change_the_segment():
    # The same values in row-major, column-major and strided memory give the
    # same subfault list, hence the same records; the transposed grid does not.
    values = np.array([[100.0, 200.0, 300.0], [400.0, 500.0, 600.0]], F32)
    padded = np.zeros((4, 6), F32)
    padded[::2, ::2] = values
    records = []
    for slip in (values, np.asfortranarray(values), padded[::2, ::2]):
        seg = support.segment(slip=slip, rupture_time_s=_rupture_grid("C"))
        records.append(batch(support.simulator([seg])))
    np.testing.assert_array_equal(records[0], records[1])
    np.testing.assert_array_equal(records[0], records[2])
    flipped = support.segment(slip=values[::-1].copy(), rupture_time_s=_rupture_grid("F"))
    assert not np.array_equal(batch(support.simulator([flipped])), records[0])


def test_grid_copied_at_construction():
    slip = np.full((2, 3), 100.0, F32)
    seg = support.segment(slip=slip)
    before = batch(support.simulator([seg]))
    slip[:] = 1.0
    np.testing.assert_array_equal(batch(support.simulator([seg])), before)


# ---------------------------------------------------------------------------
# SlipModel

@pytest.mark.parametrize("segments", [[], ()])
def test_slip_model_needs_a_segment(segments):
    with pytest.raises(ValueError) as info:
        o.SlipModel(segments)
    assert info.value.args == ("a slip model needs at least one segment",)


@pytest.mark.parametrize("shapes, count", [
    ([(2, 3)], 6), ([(2, 3), (2, 3)], 12), ([(4, 5), (2, 3)], 26), ([(1, 1)], 1),
])
def test_subfault_count(shapes, count):
    assert o.SlipModel([support.segment(*shape) for shape in shapes]).subfault_count == count


def test_a_segment_listed_twice_counts_twice():
    seg = support.segment()
    assert o.SlipModel([seg, seg]).subfault_count == 12
    assert o.SlipModel(segments=(seg,)).subfault_count == 6


def test_segments_diced_differently_make_a_slip_model_but_no_simulator():
    slip = o.SlipModel([support.segment(), support.segment(subfault_length_km=2.5)])
    with pytest.raises(ValueError) as info:
        o.Simulator(support.config(), slip, support.velocity_model())
    assert info.value.args == (
        "segment 1 has subfault_length_km = 2.5 km, but segment 0 has 2 km; every segment must "
        "be diced the same way because the subfault size is one quantity for the whole run",)


# ---------------------------------------------------------------------------
# VelocityModel1D

LENGTH_MESSAGE = ("every layer property must have one entry per layer. Got lengths {} for "
                  "(thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
                  "quality_factor_s)")
LAYER_NAMES = ["thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3", "quality_factor_p",
               "quality_factor_s"]
LAYER_DTYPES = [F32, np.float64, np.float64, np.float64, F32, F32]


def layers(lengths, vs=None):
    arrays = {name: np.ones(n, dtype) for name, n, dtype in zip(LAYER_NAMES, lengths,
                                                                LAYER_DTYPES)}
    if vs is not None:
        arrays["vsh_km_s"] = np.asarray(vs, np.float64)
    return arrays


@pytest.mark.parametrize("lengths", [[3, 3, 2, 3, 3, 3], [0, 1, 1, 1, 1, 1], [2, 2, 2, 2, 2, 5]])
def test_layer_lengths_must_agree(lengths):
    with pytest.raises(ValueError) as info:
        o.VelocityModel1D(**layers(lengths), vs_moho_km_s=9.0)
    assert info.value.args == (LENGTH_MESSAGE.format(str(lengths)),)


def test_strided_layer_array_is_refused_before_the_lengths():
    arrays = layers([3, 3, 3, 3, 3, 3])
    arrays["vp_km_s"] = np.ones(8)[::2]   # strided, and of another length
    with pytest.raises(TypeError) as info:
        o.VelocityModel1D(**arrays, vs_moho_km_s=9.0)
    assert info.value.args == ("The given array is not contiguous or is misaligned.",)
    assert not hasattr(info.value, "__notes__")


def test_vs_moho_is_converted_before_any_flat_view():
    arrays = layers([3, 3, 3, 3, 3, 3])
    arrays["vp_km_s"] = np.ones(6)[::2]
    with pytest.raises(TypeError) as info:
        o.VelocityModel1D(**arrays, vs_moho_km_s=None)
    assert info.value.__notes__ == ["while processing 'vs_moho_km_s'"]


def test_empty_strided_arrays_are_empty_views():
    arrays = {name: np.ones(4, dtype)[:0:2] for name, dtype in zip(LAYER_NAMES, LAYER_DTYPES)}
    with pytest.raises(ValueError) as info:
        o.VelocityModel1D(**arrays, vs_moho_km_s=9.0)
    assert info.value.args == ("velocity model has no layers",)


@pytest.mark.parametrize("vs_moho, count", [(3.5, 3), (3.0, 2), (5.0, 3), (4, 3), (np.nan, 3)])
def test_moho_cut(vs_moho, count):
    arrays = layers([3] * 6, vs=[2.0, 3.0, 4.0])
    arrays["thickness_km"] = np.array([2.0, 3.0, 4.0], F32)
    assert o.VelocityModel1D(**arrays, vs_moho_km_s=vs_moho).layer_count == count


@pytest.mark.parametrize("vs_moho, text", [(2.0, "2"), (1.5, "1.5"), (-np.inf, "-inf")])
def test_first_layer_at_the_moho(vs_moho, text):
    arrays = layers([3] * 6, vs=[2.0, 3.0, 4.0])
    with pytest.raises(ValueError) as info:
        o.VelocityModel1D(**arrays, vs_moho_km_s=vs_moho)
    assert info.value.args == (
        f"the first layer already reaches vs_moho = {text} km/s, so there is no model above the "
        "Moho to simulate",)


def test_nan_and_negative_layer_values_are_accepted():
    arrays = layers([2] * 6, vs=[1.0, 2.0])
    arrays["thickness_km"] = np.array([-1.0, np.nan], F32)
    arrays["density_g_cm3"] = np.array([np.nan, -2.0])
    arrays["quality_factor_s"] = np.array([0.0, -5.0], F32)
    assert o.VelocityModel1D(**arrays, vs_moho_km_s=9.0).layer_count == 2


# ---------------------------------------------------------------------------
# Parameter classes and HfConfig

DECK_MESSAGE = "path_duration_model {} is not one of 0, 1, 2, 11, 12"


@pytest.mark.parametrize("code", [3, 4, 10, 13, 2 ** 31 - 1])
def test_deck_codes_refused(code):
    with pytest.raises(ValueError) as info:
        o.PathParameters(rayset=[0], path_duration_model=code)
    assert info.value.args == (DECK_MESSAGE.format(code),)
    assert not hasattr(info.value, "__notes__")


def test_deck_codes_select_models():
    records = {code: batch(support.simulator(path_duration_model=code))
               for code in [0, -1, -2 ** 31, 1, 2, 11, 12]}
    # Every code of 0 or below is the same model.
    np.testing.assert_array_equal(records[-1], records[0])
    np.testing.assert_array_equal(records[-2 ** 31], records[0])
    distinct = [records[c] for c in [0, 1, 2, 11, 12]]
    for k, first in enumerate(distinct):
        for second in distinct[k + 1:]:
            assert not np.array_equal(first, second)


def test_rayset_is_kept_in_order_with_repeats():
    # (0, 3, 3, -1): the negative code is stored and faults only when a
    # station traces it.
    sim = support.simulator(rayset=(0, 3, 3, -1))
    with pytest.raises(support.panic_type()):
        batch(sim)
    # A repeated code adds its ray twice.
    once = batch(support.simulator(rayset=[0]))
    twice = batch(support.simulator(rayset=np.array([0, 0])))
    assert not np.array_equal(once, twice)


def test_empty_rayset_gives_zero_records():
    result = batch(support.simulator(rayset=[]))
    assert result.shape == (3, 3, 2000)
    assert not result.any()


def test_source_parameters_accept_any_number():
    o.SourceParameters(**support.source_kwargs(corner_frequency_constant=np.nan,
                                               corner_frequency_alpha=np.inf,
                                               rupture_velocity_fraction=-1.0,
                                               rupture_velocity_sigma=0.0))


@pytest.mark.parametrize("duration, dt, samples", [(10, 0.01, 1000), (20.0, 0.01, 2000),
                                                   (0.0, 0.01, 0)])
def test_record_length(duration, dt, samples):
    sim = support.simulator(duration_s=duration, dt=dt)
    assert batch(sim, 1).shape == (3, 1, samples)


def test_zero_dt_is_accepted_here_and_faults_at_the_batch():
    record = o.RecordParameters(duration_s=10.0, dt=0)
    cfg = o.HfConfig(source=o.SourceParameters(**support.source_kwargs()),
                     path=o.PathParameters(rayset=[0], path_duration_model=0),
                     site=o.SiteParameters(fmax_hz=10.0), record=record)
    sim = o.Simulator(cfg, o.SlipModel([support.segment()]), support.velocity_model())
    panic = support.panic_type()
    for n in (0, 2):
        with pytest.raises(panic) as info:
            sim.run_stations(**support.stations(n))
        assert len(info.value.args) == 1
        assert "too large" in info.value.args[0]


def test_hf_config_checks_source_first_and_never_looks_further():
    path = o.PathParameters(rayset=[0], path_duration_model=0)
    with pytest.raises(TypeError) as info:
        o.HfConfig(source=path, path="not looked at", site=None, record=None)
    assert info.value.args == ("'PathParameters' object is not an instance of 'SourceParameters'",)
    assert info.value.__notes__ == ["while processing 'source'"]


def test_instances_keep_no_reference_to_their_arguments():
    import sys
    seg = support.segment()
    source = o.SourceParameters(**support.source_kwargs())
    path = o.PathParameters(rayset=[0], path_duration_model=0)
    site = o.SiteParameters(fmax_hz=10.0)
    record = o.RecordParameters(duration_s=5.0, dt=0.01)
    vm = support.velocity_model()
    arguments = [seg, source, path, site, record, vm]
    before = [sys.getrefcount(a) for a in arguments]
    slip = o.SlipModel([seg, seg])
    cfg = o.HfConfig(source=source, path=path, site=site, record=record)
    counts = [sys.getrefcount(cfg), sys.getrefcount(slip)]
    sim = o.Simulator(cfg, slip, vm)
    assert [sys.getrefcount(a) for a in arguments] == before
    assert [sys.getrefcount(cfg), sys.getrefcount(slip)] == counts
    del cfg, slip, seg, source, path, site, record, vm, arguments
    assert batch(sim).shape == (3, 3, 500)
