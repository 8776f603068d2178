"""Inputs every constructor accepts but a batch once abandoned with
PanicException: a crust that lacks the layers the configured rays need is now
refused by `Simulator` with a ValueError naming what is missing, and a
negative sample interval over a negative duration gives records. (A window
longer than any machine word counts in samples is a case of the extreme
inputs.)"""

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
