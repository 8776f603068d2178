"""examples/run_distributed.py gives the records of one process, bit for bit, on a cluster of its
own and on a long-lived one across edits of the scenario; its command line refuses what cannot run."""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import _orvinta
import numpy as np
import pytest
from distributed import LocalCluster

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
STATIONS, BATCH, DURATION_S = 8, 2, 40.0


def test_two_worker_processes_give_the_in_process_records(tmp_path):
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "run_distributed.py"), "--workers", "2", "--threads", "1",
         "--stations", str(STATIONS), "--batch", str(BATCH), "--duration", str(DURATION_S),
         "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=300, env=dict(os.environ))
    assert run.returncode == 0, run.stdout + run.stderr
    # Both processes ran batches, and each built its simulator once for all of them.
    tally = re.search(r"worker processes used: (\d+); batches run by each: \[([\d, ]+)\]; "
                      r"simulators built by each: \[([\d, ]+)\]", run.stdout)
    assert tally, run.stdout
    assert int(tally[1]) == 2
    assert sum(int(n) for n in tally[2].split(",")) == STATIONS // BATCH
    assert [int(n) for n in tally[3].split(",")] == [1, 1]

    sys.path.insert(0, str(EXAMPLES))
    try:
        import scenario
    finally:
        sys.path.remove(str(EXAMPLES))
    simulator, stations, _ = scenario.build_simulator(duration_s=DURATION_S, dt=0.01, count=STATIONS)
    expected = simulator.run_stations(**stations.batch(0, STATIONS))

    records = np.load(tmp_path / "records_distributed.npy")
    assert records.dtype == expected.dtype and records.shape == expected.shape
    assert records.tobytes() == expected.tobytes()
    assert np.abs(expected).max(axis=2).min() > 0  # every station has a signal to compare


def load_module(path, name):
    """The module at `path`, run afresh under `name`."""
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module  # its dataclasses look their module up here while it runs
    try:
        found.loader.exec_module(module)
    finally:
        del sys.modules[name]
    return module


def test_a_changed_scenario_on_a_long_lived_cluster_gives_its_own_records(tmp_path, monkeypatch):
    # The user's loop: run, edit the scenario, run again on the same workers.
    # Each run must give the records of the scenario as it stands, never those
    # of a simulator an earlier run left in the workers.
    examples = tmp_path / "examples"
    examples.mkdir()
    for name in ("run_distributed.py", "run_scenario.py", "scenario.py"):
        shutil.copy(EXAMPLES / name, examples / name)
    scenario_path = examples / "scenario.py"
    stations, batch, duration_s = 4, 2, 20.0

    # The workers import the module this process imports, and nothing of examples/.
    inherited = os.environ.get("PYTHONPATH")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([os.path.dirname(_orvinta.__file__)]
                                                     + ([inherited] if inherited else [])))
    records = {}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        for stress_drop in ("50.0", "100.0"):
            text, edits = re.subn(r"stress_drop_bars=np\.full\(shape, [\d.]+,",
                                  f"stress_drop_bars=np.full(shape, {stress_drop},", scenario_path.read_text())
            assert edits == 1, "scenario.py no longer sets one uniform stress drop"
            scenario_path.write_text(text)
            out = tmp_path / f"out-{stress_drop}"
            run = subprocess.run(
                [sys.executable, str(examples / "run_distributed.py"), "--scheduler", cluster.scheduler_address,
                 "--stations", str(stations), "--batch", str(batch), "--duration", str(duration_s),
                 "--out", str(out)],
                capture_output=True, text=True, timeout=300)
            assert run.returncode == 0, run.stdout + run.stderr

            scenario = load_module(scenario_path, f"scenario_stress_drop_{stress_drop.replace('.', '_')}")
            simulator, sites, _ = scenario.build_simulator(duration_s=duration_s, dt=0.01, count=stations)
            expected = simulator.run_stations(**sites.batch(0, stations))
            records[stress_drop] = np.load(out / "records_distributed.npy")
            assert records[stress_drop].shape == expected.shape
            assert records[stress_drop].tobytes() == expected.tobytes(), f"stress drop {stress_drop} bars"
    # The edit changes the records, so a stale simulator could not pass unseen.
    assert records["50.0"].tobytes() != records["100.0"].tobytes()


@pytest.fixture(scope="module")
def script():
    """examples/run_distributed.py as a module, for its command line."""
    path = list(sys.path)
    try:
        return load_module(EXAMPLES / "run_distributed.py", "run_distributed_command_line")
    finally:
        sys.path[:] = path


SHORT_OR_NOT_FINITE = "must be a finite number of seconds, at least one sample (0.01 s), not "


@pytest.mark.parametrize("option, value, message", [
    ("--batch", "0", "must be at least 1, not 0"),  # no batch: nothing to gather
    ("--batch", "-2", "must be at least 1, not -2"),
    ("--batch", "2.5", "'2.5' is not a whole number"),
    ("--stations", "0", "must be at least 1, not 0"),
    ("--workers", "0", "must be at least 1, not 0"),  # a cluster without workers never runs a task
    ("--duration", "0", SHORT_OR_NOT_FINITE + "0"),  # a record of no samples has no peak
    ("--duration", "-5", SHORT_OR_NOT_FINITE + "-5"),
    ("--duration", "0.0099", SHORT_OR_NOT_FINITE + "0.0099"),
    ("--duration", "nan", SHORT_OR_NOT_FINITE + "nan"),
    ("--duration", "inf", SHORT_OR_NOT_FINITE + "inf"),
    ("--duration", "1e39", SHORT_OR_NOT_FINITE + "1e39"),  # finite, but not in the engine's 32 bits
    ("--duration", "long", "'long' is not a number of seconds"),
])
def test_values_that_cannot_run_are_refused_by_the_command_line(script, capsys, option, value, message):
    with pytest.raises(SystemExit) as exit:
        script.parse_arguments([option, value])
    assert exit.value.code == 2
    assert f"error: argument {option}: {message}\n" in capsys.readouterr().err


@pytest.mark.parametrize("option, value, attribute, parsed", [
    ("--batch", "1", "batch", 1),
    ("--stations", "1", "stations", 1),
    ("--duration", "0.01", "duration", 0.01),  # exactly one sample
    ("--duration", "3600", "duration", 3600.0),
])
def test_values_that_run_are_taken(script, option, value, attribute, parsed):
    assert getattr(script.parse_arguments([option, value]), attribute) == parsed
