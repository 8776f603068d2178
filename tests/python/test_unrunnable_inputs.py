"""Inputs every constructor accepts but a batch once abandoned with
PanicException or filled with records that were not the method's: a crust
that lacks the layers the configured rays need, a moment no subfault carries
and a record longer than a record holds are now refused by `Simulator` with a
ValueError naming what is wrong, and a negative sample interval over a
negative duration gives records. (A window longer than any machine word counts
in samples is a case of the extreme inputs; subfaults the layered rays would
trace from far above them, and a caller's air layer, are cases of the layered
rays' crusts.)"""

import numpy as np
import pytest

import _orvinta as o
import support

PANIC = support.panic_type()

SINGLE_LAYER = (
    "the velocity model is a single layer 0 km deep with a P speed of 5 km/s and gets no air "
    "layer, so there is no layer below the receiver level for the site amplification of any "
    "ray; a model needs a second layer, or a first layer deeper than 0.001 km with a P speed "
    "above 0.01 km/s")
HALF_SPACE_UNDER_AIR = (
    "no layer below the receiver layer of this 2-layer velocity model (air layer included) has "
    "positive thickness, so ray type {} cannot be traced; every ray type but 0 is traced "
    "through the layers below the receiver layer and needs one of positive thickness")


def one_layer(thickness_km):
    """A velocity model of a single layer, the half-space (P 5 km/s, S 3 km/s)."""
    return support.velocity_model(
        thickness_km=np.array([thickness_km], np.float32), vp_km_s=np.array([5.0]),
        vsh_km_s=np.array([3.0]), density_g_cm3=np.array([2.7]),
        quality_factor_p=np.array([200.0], np.float32),
        quality_factor_s=np.array([100.0], np.float32))


def batch(sim, n=2):
    return sim.run_stations(**support.stations(n))


# (case, layer thickness, rays, the ValueError's message)
REFUSED = [
    ("one layer 0 km thick, ray 0", 0.0, (0,), SINGLE_LAYER),
    ("one layer 0 km thick, rays 0 1 2", 0.0, (0, 1, 2), SINGLE_LAYER),
    ("one layer 5 km thick, rays 1 2", 5.0, (1, 2), HALF_SPACE_UNDER_AIR.format(1)),
    ("one layer 5 km thick, rays 0 2", 5.0, (0, 2), HALF_SPACE_UNDER_AIR.format(2)),
    ("one layer 5 km thick, ray -1", 5.0, (-1,), HALF_SPACE_UNDER_AIR.format(-1)),
]


@pytest.mark.parametrize("case, thickness_km, rays, message", REFUSED,
                         ids=[c[0] for c in REFUSED])
def test_a_crust_the_rays_cannot_use_is_refused_when_the_simulator_is_built(
        case, thickness_km, rays, message):
    config = support.config(rayset=rays)
    with pytest.raises(ValueError) as raised:
        o.Simulator(config, o.SlipModel([support.segment()]), one_layer(thickness_km))
    assert str(raised.value) == message


def test_the_same_crusts_still_run_the_rays_they_can_carry():
    # Straight rays need no layer below the receiver; no rays need no layer at all.
    straight = batch(o.Simulator(support.config(rayset=(0,)), o.SlipModel([support.segment()]),
                                 one_layer(5.0)))
    assert straight.shape == (3, 2, 2000)
    assert np.isfinite(straight).all() and straight.any()
    none = batch(o.Simulator(support.config(rayset=()), o.SlipModel([support.segment()]),
                             one_layer(0.0)))
    assert none.shape == (3, 2, 2000) and not none.any()


# (case, config overrides, records: (n_time, all zero))
NEGATIVE_DT = [
    ("dt -0.01 s over 20 s: no samples", dict(dt=-0.01, duration_s=20.0), (0, True)),
    ("dt -0.01 s over -20 s: every arrival before the first sample",
     dict(dt=-0.01, duration_s=-20.0), (2000, True)),
    ("dt -0.01 s over -20 s, negative windows", dict(dt=-0.01, duration_s=-20.0,
                                                     corner_frequency_constant=-1.0),
     (2000, False)),
    ("dt -0.05 s over -20 s, negative windows", dict(dt=-0.05, duration_s=-20.0,
                                                     rupture_velocity_fraction=-0.8),
     (400, False)),
]


@pytest.mark.parametrize("case, config, expected", NEGATIVE_DT, ids=[c[0] for c in NEGATIVE_DT])
def test_a_negative_sample_interval_gives_records(case, config, expected):
    n_time, zero = expected
    acc = batch(support.simulator(**config))
    assert acc.shape == (3, 2, n_time)
    assert (not acc.any()) == zero


def test_an_infinite_window_still_abandons_the_batch():
    with pytest.raises(PANIC) as raised:
        batch(support.simulator(corner_frequency_constant=0.0))
    assert raised.value.args == ("a transform length that overflows usize is not a real request",)


NO_MOMENT = (
    "the slip model has a total moment of {} dyne-cm, but no subfault's moment weight (slip in "
    "cm × shear speed² × density × subfault area, at the depth of its row) exceeds 0.001, so "
    "the moment cannot be shared among the subfaults; subfaults whose centres lie in the air "
    "layer carry almost no moment")

# The layers the rows of `support.segment` (2 rows of 2 km, 45 degrees from
# 2 km: centres 2.7 and 4.1 km deep) lie in: the 4 km layer of
# `support.velocity_model`, or the 0.1 mm air layer for a flat segment at the
# surface. (shear speed km/s, density g/cm³, as the engine holds them)
CRUST_LAYER = (2.9, 2.6)
AIR_LAYER = (float(np.float32(0.0005)), float(np.float32(0.001)))


def moment_of(slip_cm, layer, subfaults=6, size_km=2.0):
    """The raw moment weight of each subfault (slip × shear speed² × density
    × area, the product in 64 bits narrowed to 32) and the total moment
    (their 32-bit sum × 1e20, dyne-cm)."""
    vsh, density = layer
    rigidity_area = np.float32((((vsh * vsh) * density) * size_km) * size_km)
    raw = np.float32(slip_cm) * rigidity_area
    total = np.float32(0.0)
    for _ in range(subfaults):
        total = np.float32(total + raw)
    return raw, total * np.float32(1e20)


# (case, segment overrides, rays, slip cm, layer): the raw weights must pass
# 0.001 for a subfault to carry its share of the moment.
MOMENT_CASES = [
    ("uniform slip of 3e-7 cm", dict(slip=support.grid(3e-7)), (0, 1, 2), 3e-7, CRUST_LAYER),
    ("the same, no rays", dict(slip=support.grid(3e-7)), (), 3e-7, CRUST_LAYER),
    ("uniform slip of 1.1e-5 cm, just below the threshold", dict(slip=support.grid(1.1e-5)),
     (0, 1, 2), 1.1e-5, CRUST_LAYER),
    ("uniform slip of 1.2e-5 cm, just above it", dict(slip=support.grid(1.2e-5)), (0, 1, 2),
     1.2e-5, CRUST_LAYER),
    ("a flat fault at the surface: every centre in the air layer",
     dict(dip_deg=0.0, top_depth_km=0.0), (0, 1, 2), 100.0, AIR_LAYER),
]


@pytest.mark.parametrize("case, overrides, rays, slip_cm, layer", MOMENT_CASES,
                         ids=[c[0] for c in MOMENT_CASES])
def test_a_moment_no_subfault_carries_is_refused(case, overrides, rays, slip_cm, layer):
    raw, total = moment_of(slip_cm, layer)
    assert total > 0
    build = lambda: o.Simulator(support.config(rayset=rays),
                                o.SlipModel([support.segment(**overrides)]),
                                support.velocity_model())
    if raw > np.float32(0.001):
        sim = build()
        if rays:
            acc = batch(sim)
            assert np.isfinite(acc).all() and acc.any()
        return
    with pytest.raises(ValueError) as raised:
        build()
    assert str(raised.value) == NO_MOMENT.format(np.format_float_positional(total, trim="-"))


def test_a_moment_some_subfault_carries_runs_with_the_others_skipped():
    # One subfault of ordinary slip among micrometre slips: it alone radiates.
    slip = support.grid(3e-7)
    slip[1, 2] = 100.0
    acc = batch(o.Simulator(support.config(), o.SlipModel([support.segment(slip=slip)]),
                            support.velocity_model()))
    assert np.isfinite(acc).all() and acc.any()


# The float32 sample counts on either side of the most a record holds.
RECORD_LIMIT = support.RECORD_LIMIT
FITS, TOO_MANY = support.longest_record_quotients()

# (case, duration_s, dt): finite, but more samples than a record holds
OVERSIZED = [
    ("the first float32 count past the limit", float(TOO_MANY), 1.0),
    ("7.7e17 s at 1 s", 7.7e17, 1.0),
    ("1e18 s at 1 s", 1e18, 1.0),
    ("9.3e18 s at 1 s", 9.3e18, 1.0),
    ("2^64 samples exactly", 2.0 ** 64, 1.0),
    ("1e30 s at 1 ms", 1e30, 1e-3),
    ("negative over negative", -1e30, -1e-3),
]


@pytest.mark.parametrize("case, duration_s, dt", OVERSIZED, ids=[c[0] for c in OVERSIZED])
def test_a_record_longer_than_a_record_holds_is_refused(case, duration_s, dt):
    # Before, counts below 2^64 were built and even their empty batches
    # faulted ("a batch result of 3 x 0 x ... float32 values is too large to
    # represent").
    with pytest.raises(ValueError) as raised:
        support.simulator(duration_s=duration_s, dt=dt)
    samples = np.float32(duration_s) / np.float32(dt)
    assert str(raised.value) == (
        f"a record of duration_s {np.format_float_positional(np.float32(duration_s), trim='-')} s "
        f"at dt {np.format_float_positional(np.float32(dt), trim='-')} s has "
        f"{np.format_float_positional(samples, trim='-')} samples per component, more than the "
        f"{RECORD_LIMIT} a record can hold (3 rows of 4-byte values within a signed 64-bit byte "
        "count), so no batch of it can be represented; shorten the duration or lengthen dt")


def test_an_infinite_or_representable_sample_count_is_left_to_the_batch():
    # At the limit the simulator is built and an empty batch has its shape;
    # dt 0 and an infinite duration still fault at the first batch.
    sim = support.simulator(duration_s=float(FITS), dt=1.0)
    assert batch(sim, 0).shape == (3, 0, int(FITS))
    for record in (dict(dt=0.0), dict(duration_s=float("inf"))):
        with pytest.raises(PANIC):
            batch(support.simulator(**record), 0)


def test_a_never_placed_subfault_does_not_size_a_negative_interval_scratch():
    # The shallow segment's rupture speed is 0, so its windows are infinite;
    # its slip is 0, so no subfault of it is placed, and the deep segment's
    # records come out as they do alone.
    config = dict(dt=-0.01, duration_s=-20.0, rupture_velocity_fraction=-0.8,
                  rupture_velocity_shallow=0.0)
    deep = support.segment(top_depth_km=10.0)
    silent = support.segment(top_depth_km=1.0, slip=support.grid(0.0))
    both = batch(o.Simulator(support.config(**config), o.SlipModel([deep, silent]),
                             support.velocity_model()))
    alone = batch(o.Simulator(support.config(**config), o.SlipModel([deep]),
                              support.velocity_model()))
    assert both.shape == (3, 2, 2000)
    np.testing.assert_array_equal(both, alone)


def crust_under(thickness_km, vp_km_s):
    """Layers of `thickness_km` and `vp_km_s` (shear speed vp / 1.7, at least
    1 km/s); the last becomes the half-space."""
    n = len(thickness_km)
    vp = np.array(vp_km_s, float)
    return support.velocity_model(
        thickness_km=np.array(thickness_km, np.float32), vp_km_s=vp,
        vsh_km_s=np.maximum(vp / 1.7, 1.0), density_g_cm3=np.full(n, 2.7),
        quality_factor_p=np.full(n, 200.0, np.float32),
        quality_factor_s=np.full(n, 100.0, np.float32), vs_moho_km_s=9.0)


BURIED = (
    "the first layer of the velocity model is 3 km thick with a P speed of {} km/s and gets no "
    "air layer, so the receivers lie at its bottom, 3 km deep; ray type {} and every other "
    "layered ray measure a source's distance to the edges of its layer without this layer, "
    "which leaves a source 0.02 km above an interface (the closest any source lies) no way down "
    "to it, or a negative one, so over this model only ray type 0 can be used (a first layer "
    "thinner than 0.02 km, or with a P speed above 0.01 km/s, which gets the air layer, serves "
    "every ray)")

# (case, layers (thickness km, vp km/s), fault top depth km, rays, P speed in the message)
BURIED_CASES = [
    ("zero and metre-thin layers, fault below", ((3, 0, 0.001, 10), (0, 3, 4, 5)), 5.0, (2,), 0),
    ("zero and metre-thin layers, fault in the first layer", ((3, 0, 0.001, 10), (0, 3, 4, 5)),
     1.0, (0, 2), 0),
    ("thicker layers under it", ((3, 0.5, 1, 10), (0.01, 3, 4, 5)), 5.0, (1, 0), 0.01),
]


@pytest.mark.parametrize("case, crust, top_km, rays, vp", BURIED_CASES,
                         ids=[c[0] for c in BURIED_CASES])
def test_layered_rays_under_a_thick_first_layer_without_air_are_refused(case, crust, top_km,
                                                                        rays, vp):
    code = next(c for c in rays if c != 0)
    with pytest.raises(ValueError) as raised:
        o.Simulator(support.config(rayset=rays),
                    o.SlipModel([support.segment(top_depth_km=top_km)]), crust_under(*crust))
    assert str(raised.value) == BURIED.format(vp, code)


def test_straight_rays_under_a_thick_first_layer_without_air_still_run():
    sim = o.Simulator(support.config(rayset=(0,)), o.SlipModel([support.segment()]),
                      crust_under((3, 0, 0.001, 10), (0, 3, 4, 5)))
    acc = batch(sim)
    assert np.isfinite(acc).all() and acc.any()


@pytest.mark.parametrize("code", [1, 2, 3, 4])
def test_a_zero_thickness_receiver_layer_leaves_the_travel_time_finite(code):
    # A first layer 0.5 m thick gets no air layer; the layer under it has no
    # thickness. Every layered ray ends with a crossing of it, which once made
    # the travel time NaN, so the ray landed at the record's first sample with
    # a vanishing amplitude (peaks of 1e-22 cm/s²). (The fault lies in the
    # 10 km layer, above the half-space.)
    crust = crust_under((0.0005, 0, 1, 10, 10), (0, 3, 4, 5, 6))
    sim = o.Simulator(support.config(rayset=(code,), duration_s=30.0),
                      o.SlipModel([support.segment()]), crust)
    acc = batch(sim)
    assert np.isfinite(acc).all()
    assert np.abs(acc).max() > 0.1
    assert not acc[..., :100].any()  # nothing arrives in the first second
