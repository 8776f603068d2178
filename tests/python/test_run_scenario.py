"""examples/run_scenario.py, the main job: every station's record runs to its end (it is the start
of a longer record, bit for bit), the script writes those records, and its command line refuses
what cannot run before any work starts."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import support

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def main_job():
    """examples/run_scenario.py as a module (it imports scenario.py beside it)."""
    path = list(sys.path)
    found = importlib.util.spec_from_file_location("run_scenario_main_job", EXAMPLES / "run_scenario.py")
    module = importlib.util.module_from_spec(found)
    try:
        found.loader.exec_module(module)
    finally:
        sys.path[:] = path
    return module


@pytest.fixture(scope="module")
def records(main_job):
    """The main job's records, and those of the same stations recorded twice as long, both run
    through the main job's own batches and thread pool."""
    runs = {}
    for duration_s in (main_job.DURATION_S, 2 * main_job.DURATION_S):
        simulator, stations, _ = main_job.scenario.build_simulator(duration_s=duration_s, dt=main_job.DT_S)
        runs[duration_s] = main_job.simulate(simulator, stations, batch=1, workers=os.cpu_count() or 1)
    return runs[main_job.DURATION_S], runs[2 * main_job.DURATION_S], stations


def test_every_station_of_the_main_job_is_recorded_to_its_end(main_job, records):
    short, long, stations = records
    samples = short.shape[2]
    assert samples == round(main_job.DURATION_S / main_job.DT_S)
    # A record too short for an arrival draws that arrival anew at a shorter length, so the
    # records part from the longer ones from that arrival on; long enough, they are its start.
    same = (short.view(np.uint32) == long[:, :, :samples].view(np.uint32)).all(axis=(0, 2))
    differ = np.flatnonzero(~same)
    assert not differ.size, (f"stations {differ.tolist()} at R_rup "
                             f"{np.round(stations.rupture_distance_km[differ], 1).tolist()} km")
    peak = np.abs(long).max(axis=2)
    assert peak.min() > 0  # every station and component has motion to compare
    # And nothing that matters arrives after the record ends (2e-5 of the peak at 120 s).
    left = np.abs(long[:, :, samples:]).max(axis=2) / peak
    assert left.max() < 1e-4, f"station {np.unravel_index(left.argmax(), left.shape)[1]}"


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="the main job draws its figure with matplotlib, which this interpreter lacks")
def test_the_main_job_writes_its_records_and_table(main_job, records, tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLES / "run_scenario.py"), "--out", str(tmp_path / "out"),
                          "--batch", "5", "--workers", "4"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    short, _, stations = records
    written = np.load(tmp_path / "out" / "records.npy")
    assert written.shape == short.shape and written.tobytes() == short.tobytes()
    assert (tmp_path / "out" / "scenario.png").stat().st_size > 0
    assert f"{short.shape[2]} samples at dt {main_job.DT_S} s" in run.stdout
    rows = [line.split() for line in run.stdout.splitlines() if line.split()[:1] and line.split()[0].isdigit()]
    assert [int(row[0]) for row in rows] == list(range(len(stations)))


@pytest.mark.parametrize("argv, message", [
    (["--batch", "0"], "argument --batch: must be at least 1, not 0"),  # a range of step 0
    (["--batch", "-1"], "argument --batch: must be at least 1, not -1"),  # no batch at all
    (["--workers", "0"], "argument --workers: must be at least 1, not 0"),  # dask's own default pool instead
    (["--workers", "-1"], "argument --workers: must be at least 1, not -1"),
    (["--out", ""], "argument --out: is empty, not a folder"),
    # Both were found only after the whole run, when the outputs were written.
    (["--out", "{file}"], "argument --out: '{file}' cannot be a folder: {file} is a file"),
    (["--out", "{file}/figures"], "argument --out: '{file}/figures' cannot be a folder: {file} is a file"),
])
def test_values_that_cannot_run_are_refused_by_the_command_line(main_job, capsys, a_file, argv, message):
    support.assert_usage_error(main_job.parse_arguments, argv, message + "\n", capsys, file=a_file)


@pytest.mark.parametrize("argv, attribute, parsed", [
    (["--batch", "1"], "batch", 1),
    (["--batch", "1000"], "batch", 1000),  # more than the stations: one batch
    (["--workers", "1"], "workers", 1),
    (["--out", "{tmp}/new/figures"], "out", "{tmp}/new/figures"),  # made at the end, not while parsing
])
def test_values_that_run_are_taken(main_job, tmp_path, argv, attribute, parsed):
    argv = [arg.format(tmp=tmp_path) for arg in argv]
    parsed = parsed.format(tmp=tmp_path) if isinstance(parsed, str) else parsed
    assert getattr(main_job.parse_arguments(argv), attribute) == parsed
    assert not (tmp_path / "new").exists()


def test_a_refused_value_stops_the_script_before_any_work(tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLES / "run_scenario.py"), "--batch", "0",
                          "--out", str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 2, run.stdout + run.stderr
    assert run.stderr.startswith("usage: run_scenario.py") and "Traceback" not in run.stderr
    assert run.stdout == "" and not (tmp_path / "out").exists()
