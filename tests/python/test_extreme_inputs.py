"""Finite inputs far from the usual ones: a station needs memory in proportion
to its record, not to its subfaults' windows or its rays' multiples, and
faults near the pole give finite records.

Each memory case runs in a process of its own, so that its peak resident
memory is its own; the process's address space is capped at 8 GiB, so a
case that tries to hold what it should not fails at once instead of
swapping."""

import textwrap

import numpy as np
import pytest

import _orvinta as o
import support

# Peak resident memory of the whole Python process: the interpreter, NumPy,
# the module and one station of the case (about 35 MiB without the station).
PEAK_LIMIT_MIB = 250

CASE_SCRIPT = textwrap.dedent(
    """
    import json, resource, sys, time
    import numpy as np
    import support
    import _orvinta as o

    if not support.SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    case = json.loads(sys.argv[1])
    grids = {name: support.grid(value) for name, value in case["grids"].items()}
    segment = support.segment(**case["segment"], **grids)
    sim = o.Simulator(support.config(**case["config"]), o.SlipModel([segment]),
                      support.velocity_model())
    lat, lon = case["station"]
    started = time.monotonic()
    outcome = {}
    try:
        acc = sim.run_stations(
            latitude_deg=np.array([lat], np.float32), longitude_deg=np.array([lon], np.float32),
            station_seed=np.array([7], np.uint64), kappa_s=np.array([0.04], np.float32),
            q_frequency_exponent=np.array([0.6], np.float32))
        outcome["shape"] = list(acc.shape)
        outcome["finite"] = bool(np.isfinite(acc).all())
    except BaseException as error:
        outcome["raised"] = type(error).__name__
        outcome["message"] = str(error)
    outcome["seconds"] = time.monotonic() - started
    # The peak of this process's own memory since it started. (Its
    # ru_maxrss would also count the test process it was started from,
    # whose memory it shared until it began.)
    with open("/proc/self/status") as status:
        peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    outcome["peak_mib"] = peak_kib / 1024
    print(json.dumps(outcome))
    """
)

# The fault that ends a run whose ray starts more samples after its rupture
# than a signed 32-bit sample number holds.
SAMPLE_OVERFLOW = "start of a ray's window: sample numbers 2147483647 + "

# (name, config overrides, segment overrides (a grid given by its one value),
# station, what the run gives: a finite record, any record, or the start of
# a fault's message)
CASES = [
    ("station 50 km away, 60 s at 0.005 s", {"duration_s": 60.0, "dt": 0.005}, {},
     (34.45, -118.0), "record"),
    ("station on the far side of the Earth, 60 s at 0.001 s", {"duration_s": 60.0, "dt": 0.001},
     {}, (-34.0, 62.0), "record"),
    ("stress drop 1e-7 bars, 5 s", {"duration_s": 5.0}, {"stress_drop_bars": ("grid", 1e-7)},
     (34.3, -118.0), "record"),
    ("corner-frequency constant 1e-5, 5 s", {"duration_s": 5.0, "corner_frequency_constant": 1e-5},
     {}, (34.3, -118.0), "record"),
    # Windows of some 10^22 s, 10^24 samples at 0.01 s, more than a machine
    # word counts: each is cut to twice the record. Their normalisation
    # underflows in 32 bits, so the record is NaN from the first arrival on.
    ("corner-frequency constant 1e-20, 20 s",
     {"duration_s": 20.0, "corner_frequency_constant": 1e-20}, {}, (34.3, -118.0), "any record"),
    ("segment top 1 km above ground, no rays, 5 s", {"duration_s": 5.0, "rayset": []},
     {"top_depth_km": -1.0}, (34.3, -118.0), "record"),
    ("ray code 20000001, rupture times of whole samples", {"duration_s": 5.0, "rayset": [20000001]},
     {}, (34.3, -118.0), SAMPLE_OVERFLOW),
    ("ray code 200000001, rupture times of whole samples",
     {"duration_s": 5.0, "rayset": [200000001]}, {}, (34.3, -118.0), SAMPLE_OVERFLOW),
    ("ray codes 1 and 2147483647, rupture at 0 s",
     {"duration_s": 5.0, "rayset": [1, 2147483647]},
     {"rupture_time_s": ("grid", 0.0)}, (34.3, -118.0), "record"),
    ("ray code 2000001, 10^6 multiples, rupture at 0 s", {"duration_s": 5.0, "rayset": [2000001]},
     {"rupture_time_s": ("grid", 0.0)}, (34.3, -118.0), "record"),
]


@pytest.mark.parametrize("name,config,segment,station,expected", CASES, ids=[c[0] for c in CASES])
def test_a_station_needs_memory_for_its_record_only(name, config, segment, station, expected):
    grids = {key: value[1] for key, value in segment.items() if isinstance(value, tuple)}
    scalars = {key: value for key, value in segment.items() if not isinstance(value, tuple)}
    case = {"config": config, "segment": scalars, "grids": grids, "station": list(station)}
    outcome = support.run_script(CASE_SCRIPT, case)
    if expected in ("record", "any record"):
        assert outcome.get("raised") is None, outcome
        # The record's samples: duration / dt in 32 bits, truncated.
        ndata = int(np.float32(config["duration_s"]) / np.float32(config.get("dt", 0.01)))
        assert outcome["shape"] == [3, 1, ndata], outcome
        assert outcome["finite"] or expected == "any record", outcome
    else:
        assert outcome.get("raised") == "PanicException", outcome
        assert outcome["message"].startswith(expected), outcome
    if not support.SANITIZED:
        assert outcome["peak_mib"] < PEAK_LIMIT_MIB, outcome
        assert outcome["seconds"] < 10.0, outcome


def pole_records(lat_deg):
    """Records of a small fault with its origin at `lat_deg` N, 0 E, at three
    stations 10, 20 and 40 km due south of it, and their peaks per component."""
    segment = support.segment(latitude_deg=lat_deg, longitude_deg=0.0, strike_deg=90.0,
                              rupture_time_s=support.grid(0.0))
    sim = o.Simulator(support.config(rayset=(0, 1, 2), duration_s=30.0),
                              o.SlipModel([segment]), support.velocity_model())
    km = np.array([10.0, 20.0, 40.0])
    acc = sim.run_stations(
        latitude_deg=(lat_deg - km / 111.7).astype(np.float32),
        longitude_deg=np.zeros(3, np.float32),
        station_seed=np.arange(3, dtype=np.uint64),
        kappa_s=np.full(3, 0.04, np.float32),
        q_frequency_exponent=np.full(3, 0.6, np.float32))
    return acc, np.abs(acc).max(axis=2)


@pytest.mark.parametrize("lat_deg", [89.1, 89.5, 89.9])
def test_faults_near_the_pole_give_records_like_faults_further_south(lat_deg):
    acc, peaks = pole_records(lat_deg)
    assert np.isfinite(acc).all()
    _, south_peaks = pole_records(88.5)
    # The same seeds and nearly the same distances: peaks of the same size,
    # station by station and component by component, and falling with distance.
    ratio = peaks / south_peaks
    assert (ratio > 0.5).all() and (ratio < 2.0).all(), ratio
    assert (peaks[:, 0] > peaks[:, 2]).all(), peaks
