"""examples/run_distributed.py gives the records of one process, bit for bit, on a cluster of its
own and on a long-lived one across edits of the scenario, and says which simulators each worker
built and which it reused; its command line refuses what cannot run, a run whose batches no worker
can hold and a scheduler it cannot use included, before any batch is sent."""

import importlib.util
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys

import _orvinta
import numpy as np
import pytest
from distributed import LocalCluster

import support
from support import SANITIZED

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
    tally = summary(run.stdout)
    assert tally["used"] == 2
    assert sum(tally["batches"]) == STATIONS // BATCH
    assert tally["built"] == [1, 1] and tally["reused"] == [0, 0]

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


def summary(stdout):
    """The script's last tally: worker processes used, and per worker the batches it ran, the
    simulators it built and those it reused from an earlier run."""
    found = re.search(r"worker processes used: (\d+); batches run by each: \[([\d, ]+)\]; "
                      r"simulators built by each: \[([\d, ]+)\]; "
                      r"simulators reused from an earlier run by each: \[([\d, ]+)\]", stdout)
    assert found, stdout
    counts = [[int(n) for n in found[k].split(",")] for k in (2, 3, 4)]
    return dict(used=int(found[1]), batches=counts[0], built=counts[1], reused=counts[2])


def in_process_records(scenario_path, name, stations, duration_s):
    """The records of the scenario at `scenario_path` run in this process, in one batch."""
    scenario = load_module(scenario_path, name)
    simulator, sites, _ = scenario.build_simulator(duration_s=duration_s, dt=0.01, count=stations)
    return simulator.run_stations(**sites.batch(0, stations))


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


@pytest.fixture
def machine_of_16_gib(script, monkeypatch):
    """The script's view of this machine's memory, fixed, so that what fits does not depend on
    the machine the tests run on."""
    monkeypatch.setattr(script, "machine_memory", lambda: 16 * 2**30)


@pytest.mark.parametrize("argv, message", [
    (["--threads", "0"], "argument --threads: must be at least 1, not 0"),  # was taken
    (["--threads", "-1"], "argument --threads: must be at least 1, not -1"),  # was a traceback
    (["--duration", "1e38"], "argument --duration: 1e38 s is more samples of 0.01 s than a 32-bit float counts"),
    (["--scheduler", ""], "argument --scheduler: is empty, not an address such as tcp://host:8786"),
    # Options of the local cluster do nothing beside a scheduler's cluster.
    (["--scheduler", "tcp://host:8786", "--workers", "2"], "argument --workers: sets up the local cluster, "
     "which --scheduler replaces: the scheduler's own workers and their threads run the batches"),
    (["--scheduler", "tcp://host:8786", "--threads", "2"], "argument --threads: sets up the local cluster, "
     "which --scheduler replaces: the scheduler's own workers and their threads run the batches"),
    (["--out", "{file}"], "argument --out: '{file}' cannot be a folder: {file} is a file"),
    # Each worker of 8 has 2 GiB; a batch of 3 at 3e6 s is 10.8 GB, and any of the 12 may be on one worker.
    (["--duration", "3e6", "--workers", "8"], "batches of records of 300000000 samples (3e+06 s at 0.01 s): "
     "each local worker may need 134.20 GiB (12 batches in flight and a copy of one, each 3 components × "
     "3 stations × 300000000 samples × 4 bytes, + 1 × 3.36 GiB to run a station, + 80.00 MiB for the "
     "process), more than the 1.90 GiB it may use (95% of 2.00 GiB, this machine's 16.00 GiB shared by "
     "8 workers)"),
    (["--duration", "1e9", "--workers", "8"], "batches of records of 100000006144 samples (1e+09 s at 0.01 s): "
     "each local worker may need 43.66 TiB"),
    (["--workers", "1000"], "batches of records of 12000 samples (120 s at 0.01 s): each local worker may "
     "need 93.49 MiB"),  # 16 MiB each: less than a process needs
    # Batches of one station fit the one worker given the whole machine; the gathered records,
    # 36 × 3.6 GB, do not.
    (["--duration", "3e6", "--workers", "1", "--batch", "1"], "36 stations' records of 300000000 samples "
     "(3e+06 s at 0.01 s): gathering them needs 134.20 GiB on this machine"),
    (["--stations", "1000000"], "1000000 stations' records of 12000 samples (120 s at 0.01 s): gathering "
     "them needs 134.81 GiB on this machine"),
])
def test_runs_that_cannot_be_held_or_set_up_are_refused(script, machine_of_16_gib, capsys, a_file,
                                                         argv, message):
    support.assert_usage_error(script.parse_arguments, argv, message, capsys, file=a_file)


@pytest.mark.parametrize("argv, attribute, parsed", [
    (["--threads", "1"], "threads", 1),
    (["--workers", "1", "--threads", "8"], "threads", 8),
    (["--workers", "64"], "workers", 64),  # 256 MiB each
    # A single station of 3e6 s fits one worker of the whole machine: 10.8 GB.
    (["--duration", "3e6", "--workers", "1", "--batch", "1", "--stations", "1"], "duration", 3e6),
    (["--scheduler", "tcp://host:8786"], "scheduler", "tcp://host:8786"),  # its workers are checked once met
])
def test_runs_that_fit_are_taken(script, machine_of_16_gib, argv, attribute, parsed):
    assert getattr(script.parse_arguments(argv), attribute) == parsed


def run_script(*argv, timeout=300, env=None):
    return subprocess.run([sys.executable, str(EXAMPLES / "run_distributed.py"), *map(str, argv)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def assert_refused(run, message):
    """`run` ended with a usage message whose error starts with `message` (a pattern)."""
    assert run.returncode == 2, run.stdout + run.stderr
    assert run.stderr.startswith("usage: run_distributed.py") and "Traceback" not in run.stderr, run.stderr
    assert re.search(f"error: {message}", run.stderr), run.stderr
    assert "cluster:" not in run.stdout  # no batch was sent


def test_a_record_no_worker_can_hold_is_refused_before_a_cluster_starts(tmp_path):
    # 1e11 samples: more than a TiB a station, on any machine.
    assert_refused(run_script("--duration", "1e9", "--out", tmp_path), r"batches of records of 100000006144 samples")


@pytest.fixture(scope="module")
def small_worker():
    """A long-lived cluster of one worker of one thread allowed 400 MiB."""
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      memory_limit="400MiB", dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def test_a_batch_a_cluster_worker_cannot_hold_is_refused(small_worker, tmp_path):
    # 9e6 samples: two batches of one station in flight and a copy, 3 × 103 MiB, and 111 MiB to
    # run the station, past the 380 MiB the worker may use. Run, the worker was restarted
    # and the client ended in a CancelledError.
    run = run_script("--scheduler", small_worker, "--stations", 4, "--batch", 1, "--duration", 90000,
                     "--out", tmp_path)
    assert_refused(run, r"batches of records of 9000000 samples \(90000 s at 0.01 s\): worker tcp://127\.0\.0\.1:\d+ "
                        r"may need 499\.99 MiB")
    assert "more than the 380.00 MiB it may use (95% of 400.00 MiB, its memory limit)" in run.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's own memory would count against the worker's limit")
def test_a_batch_a_cluster_worker_can_hold_runs_within_its_limit(small_worker, tmp_path):
    # Just inside the limit: 6e6 samples, 4 batches on the one worker, which keeps at most two
    # of them (and the copy of one) at a time. Had it kept every batch until the end, 4 × 69
    # MiB of records, the nanny would have restarted it.
    stations, duration_s = 4, 60000.0
    run = run_script("--scheduler", small_worker, "--stations", stations, "--batch", 1, "--duration", duration_s,
                     "--out", tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    expected = in_process_records(EXAMPLES / "scenario.py", "scenario_within_limit", stations, duration_s)
    assert np.load(tmp_path / "records_distributed.npy").tobytes() == expected.tobytes()


def test_a_warm_worker_reuses_its_simulator_and_says_so(tmp_path):
    stations, duration_s = 2, 10.0
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        tallies = []
        for attempt in ("cold", "warm"):
            run = run_script("--scheduler", cluster.scheduler_address, "--stations", stations, "--batch", 1,
                             "--duration", duration_s, "--out", tmp_path / attempt)
            assert run.returncode == 0, run.stdout + run.stderr
            tallies.append(summary(run.stdout))
            records = np.load(tmp_path / attempt / "records_distributed.npy")
            assert records.tobytes() == in_process_records(
                EXAMPLES / "scenario.py", f"scenario_{attempt}", stations, duration_s).tobytes()
    assert [(t["batches"], t["built"], t["reused"]) for t in tallies] == [([2], [1], [0]), ([2], [0], [1])]


def closed_port():
    """A local TCP port nothing listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def scheduler_without_workers():
    with LocalCluster(n_workers=0, processes=True, host="127.0.0.1", dashboard_address=None) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("address, message", [
    ("closed", "argument --scheduler: cannot reach {address}: Timed out trying to connect"),  # was a traceback
    ("host-without-port", "argument --scheduler: cannot reach {address}: missing port number"),  # was one too
    ("idle", "argument --scheduler: the scheduler at {address} has no workers (none joined within 2 s)"),  # hung
])
def test_a_scheduler_that_cannot_run_the_batches_is_refused(scheduler_without_workers, tmp_path, address,
                                                            message):
    address = {"closed": f"tcp://127.0.0.1:{closed_port()}",
               "idle": scheduler_without_workers}.get(address, address)
    # Connecting waits for dask's connect timeout, 30 s unless configured.
    env = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")
    assert_refused(run_script("--scheduler", address, "--out", tmp_path, timeout=120, env=env),
                   re.escape(message.format(address=address)))
