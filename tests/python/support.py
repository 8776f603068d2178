"""Builders of small, valid `_orvinta` objects shared by the module's tests.

Every builder takes keyword overrides for the constructor arguments, so a
test names only the value it is about.
"""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np

import _orvinta as o

SUPPORT_DIR = str(pathlib.Path(__file__).resolve().parent)

# The module under test was built with AddressSanitizer, whose runtime the
# test run preloads: memory and time figures then measure the sanitizer
# (its shadow memory reserves terabytes of address space), so tests keep
# their runs and outcomes but drop such bounds.
SANITIZED = bool(os.environ.get("ORVINTA_SANITIZED"))


def grid(value, rows=2, cols=3):
    """A C-ordered float32 subfault grid filled with `value`."""
    return np.full((rows, cols), value, dtype=np.float32)


def segment_kwargs(rows=2, cols=3, **overrides):
    kwargs = dict(
        longitude_deg=-118.0,
        latitude_deg=34.0,
        strike_deg=90.0,
        dip_deg=45.0,
        rake_deg=90.0,
        top_depth_km=2.0,
        subfault_length_km=2.0,
        subfault_width_km=2.0,
        hypocentre_along_strike_km=3.0,
        hypocentre_down_dip_km=2.0,
        slip=grid(100.0, rows, cols),
        rise_time_s=grid(1.0, rows, cols),
        rupture_time_s=(np.arange(rows * cols, dtype=np.float32).reshape(rows, cols) * 0.5),
        stress_drop_bars=grid(50.0, rows, cols),
    )
    kwargs.update(overrides)
    return kwargs


def segment(rows=2, cols=3, **overrides):
    return o.FaultSegment(**segment_kwargs(rows, cols, **overrides))


def velocity_kwargs(**overrides):
    kwargs = dict(
        thickness_km=np.array([1.0, 4.0, 20.0, 0.0], np.float32),
        vp_km_s=np.array([2.5, 5.0, 6.3, 8.0]),
        vsh_km_s=np.array([1.2, 2.9, 3.6, 4.6]),
        density_g_cm3=np.array([2.1, 2.6, 2.8, 3.3]),
        quality_factor_p=np.array([100.0, 200.0, 400.0, 800.0], np.float32),
        quality_factor_s=np.array([50.0, 100.0, 200.0, 400.0], np.float32),
        vs_moho_km_s=4.5,
    )
    kwargs.update(overrides)
    return kwargs


def velocity_model(**overrides):
    return o.VelocityModel1D(**velocity_kwargs(**overrides))


def source_kwargs(**overrides):
    kwargs = dict(
        corner_frequency_constant=1.0,
        corner_frequency_alpha=0.0,
        rupture_velocity_fraction=0.8,
        rupture_velocity_shallow=0.6,
        rupture_velocity_deep=1.0,
        rupture_velocity_sigma=0.0,
    )
    kwargs.update(overrides)
    return kwargs


def config(rayset=(0, 1, 2), path_duration_model=0, fmax_hz=10.0, duration_s=20.0, dt=0.01,
           **source_overrides):
    return o.HfConfig(
        source=o.SourceParameters(**source_kwargs(**source_overrides)),
        path=o.PathParameters(rayset=list(rayset), path_duration_model=path_duration_model),
        site=o.SiteParameters(fmax_hz=fmax_hz),
        record=o.RecordParameters(duration_s=duration_s, dt=dt),
    )


def simulator(segments=None, **config_overrides):
    if segments is None:
        segments = [segment()]
    return o.Simulator(config(**config_overrides), o.SlipModel(segments), velocity_model())


def stations(n=4, seed0=0):
    """Five per-station arrays of length n, stations spread north of the fault."""
    return dict(
        latitude_deg=np.linspace(34.1, 34.5, n, dtype=np.float32),
        longitude_deg=np.linspace(-118.2, -117.8, n, dtype=np.float32),
        station_seed=np.arange(seed0, seed0 + n, dtype=np.uint64),
        kappa_s=np.full(n, 0.04, np.float32),
        q_frequency_exponent=np.full(n, 0.6, np.float32),
    )


# The most samples a record holds: 3 rows of 4-byte values within a signed
# 64-bit byte count, (2^63 - 1) / 12, which is also (2^61 - 1) / 3.
RECORD_LIMIT = (2 ** 63 - 1) // 12


def longest_record_quotients():
    """The float32 sample counts duration / dt on either side of RECORD_LIMIT:
    the largest a record can hold, and the next one (ndata is duration / dt
    in 32 bits)."""
    fits = np.float32(RECORD_LIMIT)
    if int(fits) > RECORD_LIMIT:
        fits = np.nextafter(fits, np.float32(0))
    return fits, np.nextafter(fits, np.float32(np.inf))


def panic_type():
    """The module's fault exception type, reached through a fault."""
    sim = simulator(rayset=[-1])
    try:
        sim.run_stations(**stations(1))
    except BaseException as error:  # noqa: B902 - the type is what we want
        return type(error)
    raise AssertionError("a negative ray code did not fault")


def run_script(script, *args, timeout=120):
    """Runs `script` in a fresh interpreter that can import this module (and
    `_orvinta` from the same path as this one), with `args` as its
    `sys.argv[1:]` (each a JSON text); returns the JSON value its last line of
    output holds. A non-zero exit status (a crash included) fails the test."""
    prologue = f"import sys; sys.path.insert(0, {SUPPORT_DIR!r})\n"
    done = subprocess.run([sys.executable, "-c", prologue + script,
                           *(json.dumps(arg) for arg in args)],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def assert_usage_error(parse_arguments, argv, message, capsys, **fields):
    """`parse_arguments(argv)` exits with status 2 and writes "error: message"
    to standard error; `fields` fill the {name} placeholders of both."""
    argv = [arg.format(**fields) for arg in argv]
    try:
        parse_arguments(argv)
    except SystemExit as exit:
        assert exit.code == 2
    else:
        raise AssertionError(f"{argv} was accepted")
    assert f"error: {message.format(**fields)}" in capsys.readouterr().err
