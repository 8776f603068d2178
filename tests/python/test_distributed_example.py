"""examples/run_distributed.py on two worker processes gives the records of one process, bit for bit."""

import os
import pathlib
import re
import subprocess
import sys

import numpy as np

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
