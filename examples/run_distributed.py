"""Simulate the default scenario on worker processes with dask.distributed.

    /usr/bin/python3 examples/run_distributed.py [--scheduler ADDRESS] [--workers N]
        [--threads N] [--batch N] [--stations N] [--duration S] [--out DIR]

A `Simulator` is not picklable, so it never travels between processes: every
worker process builds its own from the scenario's inputs and keeps it for
every later batch of those inputs. The inputs are the text of `scenario.py`
as the client reads it and the arguments of its `build_simulator`; the client
sends the text to the workers once and names the inputs by a content token,
and a worker keeps its simulators under that token, so an edited scenario is
never run on a simulator built from an earlier one. The client sends each
task only its stations and gathers the records, batch by batch, into one
array of shape (3, n_station, n_time). On one platform every worker's
simulator is the same, so the records are the same bits as those of one
process.

Without `--scheduler` the script starts a LocalCluster of `--workers`
processes on this machine. With `--scheduler tcp://host:8786` it uses that
cluster's workers instead; each of them must be able to import `_orvinta`,
NumPy and distributed on the same platform as this machine.
"""

from __future__ import annotations

import argparse
import collections
import math
import os
import sys
import threading
import time
import types
import uuid

import numpy as np

EXAMPLES = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, EXAMPLES)

import _orvinta  # noqa: E402
from dask.base import tokenize  # noqa: E402
from distributed import Client, LocalCluster, get_worker, progress  # noqa: E402

import run_scenario  # noqa: E402

# The scenario every process builds from, read as text.
SCENARIO = os.path.join(EXAMPLES, "scenario.py")
# Sample interval of the records (s).
DT_S = 0.01
# Where a worker keeps the simulators it has built, keyed by the token of
# their inputs (an attribute of the worker object, so it lives exactly as
# long as the worker process and is shared by the worker's threads).
WORKER_CACHE = "orvinta_simulators"
# Simulators a worker keeps at most: a long-lived worker meets one edited
# scenario after another, and the least recently used goes first.
WORKER_CACHE_SIZE = 4


def scenario_module(source: str, name: str) -> types.ModuleType:
    """A fresh module run from the scenario's text `source` under `name`."""
    module = types.ModuleType(name)
    module.__file__ = SCENARIO
    # Its dataclasses look their module up in sys.modules while it runs.
    sys.modules[name] = module
    try:
        exec(compile(source, SCENARIO, "exec", dont_inherit=True), vars(module))
    finally:
        del sys.modules[name]
    return module


def worker_simulator(token: str, source: str, duration_s: float, dt: float, count: int):
    """This worker's simulator for the inputs named by `token`, built once and then reused,
    with an id that names that one build."""
    state = vars(get_worker()).setdefault(
        WORKER_CACHE, {"lock": threading.Lock(), "built": collections.OrderedDict()})
    built = state["built"]
    with state["lock"]:
        if token not in built:
            scenario = scenario_module(source, f"orvinta_scenario_{token}")
            simulator, _, _ = scenario.build_simulator(duration_s=duration_s, dt=dt, count=count)
            built[token] = (simulator, uuid.uuid4().hex)
            while len(built) > WORKER_CACHE_SIZE:
                built.popitem(last=False)
        built.move_to_end(token)
        return built[token]


def run_batch(token: str, source: str, duration_s: float, dt: float, count: int, stations: dict):
    """On a worker: the records of `stations` (keyword arguments of `run_stations`), the
    worker's process id and the id of the simulator build that ran them."""
    simulator, build = worker_simulator(token, source, duration_s, dt, count)
    return simulator.run_stations(**stations), os.getpid(), build


def simulate(client: Client, source: str, duration_s: float, dt: float, stations, batch: int):
    """All stations' records, (3, n_station, n_time), and per worker process the number of
    batches it ran and of simulators it built for them."""
    count = len(stations)
    # Everything a worker's simulator is built from, and nothing else.
    token = tokenize(source, duration_s, dt, count)
    text = client.scatter(source, broadcast=True)
    ranges = [(start, min(start + batch, count)) for start in range(0, count, batch)]
    futures = [
        client.submit(run_batch, token, text, duration_s, dt, count, stations.batch(start, stop),
                      key=f"orvinta-stations-{token}-{start}-{stop}")
        for start, stop in ranges
    ]
    progress(futures)
    print()
    parts = client.gather(futures)
    batches: dict[int, int] = {}
    builds: dict[int, set] = {}
    for _, pid, build in parts:
        batches[pid] = batches.get(pid, 0) + 1
        builds.setdefault(pid, set()).add(build)
    per_process = {pid: (batches[pid], len(builds[pid])) for pid in batches}
    return np.concatenate([records for records, _, _ in parts], axis=1), per_process


def worker_environment() -> dict:
    """PYTHONPATH for local worker processes: the built module's folder and this one."""
    paths = [os.path.dirname(os.path.abspath(_orvinta.__file__)), EXAMPLES]
    inherited = os.environ.get("PYTHONPATH")
    return {"PYTHONPATH": os.pathsep.join(paths + ([inherited] if inherited else []))}


def positive_int(text: str) -> int:
    """A count of at least one (argparse type)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def record_duration(text: str) -> float:
    """A record length in seconds of at least one sample (argparse type): the table's peaks are
    maxima over the samples. The engine takes the length in 32 bits and counts duration / dt
    samples in 32 bits, truncated, so the check does the same."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    with np.errstate(over="ignore"):
        seconds = np.float32(value)
    if not math.isfinite(seconds) or not seconds / np.float32(DT_S) >= 1:
        raise argparse.ArgumentTypeError(
            f"must be a finite number of seconds, at least one sample ({DT_S} s), not {text}")
    return value


def parse_arguments(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786 "
                        "(default: a LocalCluster on this machine)")
    parser.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                        help="worker processes of the LocalCluster")
    parser.add_argument("--threads", type=int, default=1, help="threads per LocalCluster worker")
    parser.add_argument("--batch", type=positive_int, default=3, help="stations per run_stations call")
    parser.add_argument("--stations", type=positive_int, default=36, help="stations of the scenario")
    parser.add_argument("--duration", type=record_duration, default=60.0, help="record length (s)")
    parser.add_argument("--out", default=os.path.join(EXAMPLES, "output"))
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_arguments(argv)

    started = time.perf_counter()
    # The one text both the client's stations and every worker's simulator come from.
    with open(SCENARIO, encoding="utf-8") as file:
        source = file.read()
    scenario = scenario_module(source, "orvinta_scenario")
    _, stations, _ = scenario.build_simulator(duration_s=args.duration, dt=DT_S, count=args.stations)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        os.environ.update(worker_environment())
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads,
                               processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"cluster: {workers} worker processes at {client.scheduler.address}")
        records, per_process = simulate(client, source, args.duration, DT_S, stations, args.batch)
    finally:
        client.close()
        if not args.scheduler:
            cluster.close()

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "records_distributed.npy")
    np.save(path, records)
    pga = np.abs(records).max(axis=2)
    run_scenario.print_table(stations, pga)
    tally = sorted(per_process.values(), reverse=True)
    print(f"\nworker processes used: {len(tally)}; batches run by each: {[b for b, _ in tally]}; "
          f"simulators built by each: {[n for _, n in tally]}")
    print(f"records: {path} {records.shape} float32 cm/s^2")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
