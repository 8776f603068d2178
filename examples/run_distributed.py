"""Simulate the default scenario on worker processes with dask.distributed.

    /usr/bin/python3 examples/run_distributed.py [--scheduler ADDRESS] [--workers N]
        [--threads N] [--batch N] [--stations N] [--duration S] [--out DIR]

A `Simulator` is not picklable, so it never travels between processes: every
worker process builds its own from the scenario's inputs the first time it
runs a batch and keeps it for every later batch. The client sends only
station ranges and gathers the records, batch by batch, into one array of
shape (3, n_station, n_time). On one platform every worker's simulator is the
same, so the records are the same bits as those of one process.

Without `--scheduler` the script starts a LocalCluster of `--workers`
processes on this machine. With `--scheduler tcp://host:8786` it uses that
cluster's workers instead; each of them must be able to import `_orvinta`,
NumPy and distributed on the same platform as this machine (the script sends
them `scenario.py` itself).
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
import uuid

import numpy as np

EXAMPLES = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, EXAMPLES)

import _orvinta  # noqa: E402
from distributed import Client, LocalCluster, get_worker, progress  # noqa: E402

import run_scenario  # noqa: E402
import scenario  # noqa: E402

# Where a worker keeps the simulators it has built, keyed by the scenario's
# parameters (an attribute of the worker object, so it lives exactly as long
# as the worker process and is shared by the worker's threads).
WORKER_CACHE = "orvinta_simulators"


def worker_simulator(duration_s: float, dt: float, count: int):
    """This worker's simulator and stations for the scenario, built once and then reused, with
    a token that names that one build."""
    state = vars(get_worker()).setdefault(WORKER_CACHE, {"lock": threading.Lock(), "built": {}})
    key = (duration_s, dt, count)
    with state["lock"]:
        if key not in state["built"]:
            simulator, stations, _ = scenario.build_simulator(duration_s=duration_s, dt=dt, count=count)
            state["built"][key] = (simulator, stations, uuid.uuid4().hex)
        return state["built"][key]


def run_batch(duration_s: float, dt: float, count: int, start: int, stop: int):
    """On a worker: the records of stations start..stop-1, the worker's process id and the
    token of the simulator that ran them."""
    simulator, stations, token = worker_simulator(duration_s, dt, count)
    return simulator.run_stations(**stations.batch(start, stop)), os.getpid(), token


def simulate(client: Client, duration_s: float, dt: float, count: int, batch: int):
    """All stations' records, (3, n_station, n_time), and per worker process the number of
    batches it ran and of simulators it built for them."""
    ranges = [(start, min(start + batch, count)) for start in range(0, count, batch)]
    futures = [
        client.submit(run_batch, duration_s, dt, count, start, stop, key=f"orvinta-stations-{start}-{stop}")
        for start, stop in ranges
    ]
    progress(futures)
    print()
    parts = client.gather(futures)
    batches: dict[int, int] = {}
    tokens: dict[int, set] = {}
    for _, pid, token in parts:
        batches[pid] = batches.get(pid, 0) + 1
        tokens.setdefault(pid, set()).add(token)
    per_process = {pid: (batches[pid], len(tokens[pid])) for pid in batches}
    return np.concatenate([records for records, _, _ in parts], axis=1), per_process


def worker_environment() -> dict:
    """PYTHONPATH for local worker processes: the built module's folder and this one."""
    paths = [os.path.dirname(os.path.abspath(_orvinta.__file__)), EXAMPLES]
    inherited = os.environ.get("PYTHONPATH")
    return {"PYTHONPATH": os.pathsep.join(paths + ([inherited] if inherited else []))}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786 "
                        "(default: a LocalCluster on this machine)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the LocalCluster")
    parser.add_argument("--threads", type=int, default=1, help="threads per LocalCluster worker")
    parser.add_argument("--batch", type=int, default=3, help="stations per run_stations call")
    parser.add_argument("--stations", type=int, default=36, help="stations of the scenario")
    parser.add_argument("--duration", type=float, default=60.0, help="record length (s)")
    parser.add_argument("--out", default=os.path.join(EXAMPLES, "output"))
    args = parser.parse_args(argv)

    started = time.perf_counter()
    dt = 0.01
    if args.scheduler:
        client = Client(args.scheduler)
        client.upload_file(scenario.__file__)
    else:
        os.environ.update(worker_environment())
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads,
                               processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"cluster: {workers} worker processes at {client.scheduler.address}")
        records, per_process = simulate(client, args.duration, dt, args.stations, args.batch)
    finally:
        client.close()
        if not args.scheduler:
            cluster.close()

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "records_distributed.npy")
    np.save(path, records)
    pga = np.abs(records).max(axis=2)
    _, stations, _ = scenario.build_simulator(duration_s=args.duration, dt=dt, count=args.stations)
    run_scenario.print_table(stations, pga)
    tally = sorted(per_process.values(), reverse=True)
    print(f"\nworker processes used: {len(tally)}; batches run by each: {[b for b, _ in tally]}; "
          f"simulators built by each: {[n for _, n in tally]}")
    print(f"records: {path} {records.shape} float32 cm/s^2")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
