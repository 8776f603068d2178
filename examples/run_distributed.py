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
processes of `--threads` threads on this machine, each worker given an equal
share of its memory. With `--scheduler tcp://host:8786` it uses that
cluster's workers and their threads instead (so `--workers` and `--threads`
are refused there); each of them must be able to import `_orvinta`, NumPy
and distributed on the same platform as this machine.

Option values that cannot run are refused with a usage message (exit status
2) before any batch is sent: among them a record length whose batches need
more memory than a worker may use, or whose gathered records need more than
this machine holds, and a scheduler that cannot be reached or has no workers.
"""

from __future__ import annotations

import argparse
import asyncio
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
import dask  # noqa: E402
import distributed.system  # noqa: E402
from dask.base import tokenize  # noqa: E402
from dask.utils import format_bytes, parse_timedelta  # noqa: E402
from distributed import Client, LocalCluster, as_completed, get_worker  # noqa: E402

import run_scenario  # noqa: E402
from run_scenario import output_directory, positive_int  # noqa: E402

# The scenario every process builds from, read as text.
SCENARIO = os.path.join(EXAMPLES, "scenario.py")
# Sample interval of the records (s): the main job's.
DT_S = run_scenario.DT_S
# Bytes of one sample of a station's record: three float32 components.
RECORD_BYTES_PER_SAMPLE = 12
# What running one station takes besides the batch's records, measured on the
# scenario as the peak resident growth of batches of 1 to 6 stations of 12 000
# to 30 000 000 samples: 12 bytes per sample (about 12.1 to 12.6) and, for
# every record length, at most 4.5 MiB of transform plans and scratch.
STATION_BYTES_PER_SAMPLE = 12
STATION_SCRATCH_BYTES = 8 * 2**20  # the measured 4.5 MiB, with room
# A worker process's own memory: interpreter, distributed, NumPy, the module
# and one simulator of the scenario (61 MiB when it starts, 71 MiB after the
# main job's batches).
WORKER_PROCESS_BYTES = 80 * 2**20
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
    an id that names that one build, and whether this call built it."""
    state = vars(get_worker()).setdefault(
        WORKER_CACHE, {"lock": threading.Lock(), "built": collections.OrderedDict()})
    built = state["built"]
    with state["lock"]:
        building = token not in built
        if building:
            scenario = scenario_module(source, f"orvinta_scenario_{token}")
            simulator, _, _ = scenario.build_simulator(duration_s=duration_s, dt=dt, count=count)
            built[token] = (simulator, uuid.uuid4().hex)
            while len(built) > WORKER_CACHE_SIZE:
                built.popitem(last=False)
        built.move_to_end(token)
        simulator, build = built[token]
        return simulator, build, building


def run_batch(token: str, source: str, duration_s: float, dt: float, count: int, stations: dict):
    """On a worker: the records of `stations` (keyword arguments of `run_stations`), the
    worker's process id, the id of the simulator build that ran them and whether this
    batch built it."""
    simulator, build, building = worker_simulator(token, source, duration_s, dt, count)
    return simulator.run_stations(**stations), os.getpid(), build, building


def show_progress(done: int, total: int, started: float) -> None:
    """One line of progress, redrawn in place, in the form of dask's text progress bar."""
    bar = "#" * (40 * done // total)
    elapsed = time.perf_counter() - started
    print(f"\r[{bar:<40}] | {100 * done // total:3d}% Completed | {elapsed:4.1f}s", end="", flush=True)


def in_flight(threads: int) -> int:
    """Batches the client keeps submitted and not yet fetched, for a cluster of `threads`
    threads in all: one running and one waiting on every thread."""
    return 2 * threads


def simulate(client: Client, source: str, duration_s: float, dt: float, stations, batch: int,
             window: int):
    """All stations' records, (3, n_station, n_time), and per worker process the number of
    batches it ran, of simulators it built for them and of simulators it had built
    before this run and reused.

    A worker keeps a batch's records until the client has fetched them, and fetching long
    records can take longer than running them: so the client keeps at most `window`
    batches submitted and not yet fetched, submitting the next as it fetches one, and
    lets each go once it is copied. No worker then ever holds more than `window`
    batches' records."""
    count = len(stations)
    # Everything a worker's simulator is built from, and nothing else.
    token = tokenize(source, duration_s, dt, count)
    text = client.scatter(source, broadcast=True)
    waiting = collections.deque((start, min(start + batch, count)) for start in range(0, count, batch))
    total = len(waiting)
    pending = {}

    def submit():
        start, stop = waiting.popleft()
        future = client.submit(run_batch, token, text, duration_s, dt, count, stations.batch(start, stop),
                               key=f"orvinta-stations-{token}-{start}-{stop}")
        pending[future] = (start, stop)
        return future

    records = None
    batches: dict[int, int] = {}
    used: dict[int, set] = {}
    made: dict[int, set] = {}
    started = time.perf_counter()
    show_progress(0, total, started)
    running = as_completed([submit() for _ in range(min(window, total))])
    for done, future in enumerate(running, 1):
        part, pid, build, building = future.result()
        start, stop = pending.pop(future)
        del future  # the last reference: the worker frees the batch
        if waiting:
            running.add(submit())
        if records is None:
            records = np.empty((3, count, part.shape[2]), dtype=part.dtype)
        records[:, start:stop] = part
        del part
        batches[pid] = batches.get(pid, 0) + 1
        used.setdefault(pid, set()).add(build)
        made.setdefault(pid, set())
        if building:
            made[pid].add(build)
        show_progress(done, total, started)
    print()
    per_process = {pid: (batches[pid], len(made[pid]), len(used[pid] - made[pid])) for pid in batches}
    return records, per_process


def worker_environment() -> dict:
    """PYTHONPATH for local worker processes: the built module's folder and this one."""
    paths = [os.path.dirname(os.path.abspath(_orvinta.__file__)), EXAMPLES]
    inherited = os.environ.get("PYTHONPATH")
    return {"PYTHONPATH": os.pathsep.join(paths + ([inherited] if inherited else []))}


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
        samples = seconds / np.float32(DT_S)
    if not math.isfinite(seconds) or not samples >= 1:
        raise argparse.ArgumentTypeError(
            f"must be a finite number of seconds, at least one sample ({DT_S} s), not {text}")
    if not math.isfinite(samples):
        raise argparse.ArgumentTypeError(f"{text} s is more samples of {DT_S} s than a 32-bit float counts")
    return value


def scheduler_address(text: str) -> str:
    """The address of a scheduler (argparse type): anything but blanks, which name none."""
    if not text.strip():
        raise argparse.ArgumentTypeError("is empty, not an address such as tcp://host:8786")
    return text


def record_samples(duration_s: float) -> int:
    """n_time of a record of `duration_s`, counted as the engine counts it."""
    return int(np.float32(duration_s) / np.float32(DT_S))


def machine_memory() -> int:
    """Bytes of memory of the machine this runs on (its physical memory, or less when a
    control group or resource limit caps the process), as distributed reads it."""
    return distributed.system.MEMORY_LIMIT


def nanny_fraction() -> float:
    """The fraction of a worker's memory limit past which its nanny restarts it (this
    process's dask configuration, taken for remote workers too)."""
    fraction = dask.config.get("distributed.worker.memory.terminate", 0.95)
    return float(fraction) if fraction else 1.0


def batch_count(args: argparse.Namespace) -> int:
    """Batches of the run."""
    return math.ceil(args.stations / args.batch)


def batch_records_bytes(args: argparse.Namespace, samples: int) -> int:
    """Bytes of the records of one batch, the largest."""
    return RECORD_BYTES_PER_SAMPLE * min(args.batch, args.stations) * samples


def station_bytes(samples: int) -> int:
    """Bytes a thread needs to run one station of `samples` samples, besides its records."""
    return STATION_BYTES_PER_SAMPLE * samples + STATION_SCRATCH_BYTES


def worker_need(args: argparse.Namespace, samples: int, threads: int) -> tuple[int, str]:
    """Peak bytes a worker of `threads` threads may need, and how they add up: the records of
    every batch in flight (each may run on it, and stays there until fetched) and of one
    more, the copy of a batch being sent, or spilled to disk and read back, the memory to
    run a station on each of its threads, and the process itself."""
    batches = batch_count(args)
    held = min(args.window, batches) + 1
    running = min(threads, batches)
    stations = min(args.batch, args.stations)
    station = station_bytes(samples)
    need = WORKER_PROCESS_BYTES + held * batch_records_bytes(args, samples) + running * station
    how = (f"{held - 1} batch{'es' * (held > 2)} in flight and a copy of one, each 3 components × "
           f"{stations} station{'s' * (stations > 1)} × {samples} samples × 4 bytes, + {running} × "
           f"{format_bytes(station)} to run a station, + {format_bytes(WORKER_PROCESS_BYTES)} "
           f"for the process")
    return need, how


def memory_refusal(args: argparse.Namespace, workers: list[tuple[str, int, int, str]]) -> str | None:
    """Why the run cannot be held in memory, or None. `workers` lists each worker's name, its
    memory limit, its threads and where the limit comes from; `args.window` is the batches in
    flight. Without a scheduler the workers run on this machine, beside the client."""
    samples = record_samples(args.duration)
    records = f"records of {samples} samples ({args.duration:g} s at {DT_S} s)"
    for name, limit, threads, source in workers:
        need, how = worker_need(args, samples, threads)
        budget = int(nanny_fraction() * limit)
        if need > budget:
            return (f"batches of {records}: {name} may need {format_bytes(need)} ({how}), more than "
                    f"the {format_bytes(budget)} it may use ({nanny_fraction():.0%} of "
                    f"{format_bytes(limit)}, {source}); use a shorter duration, smaller batches"
                    f"{', fewer threads' if threads > 1 else ''} or fewer, larger workers")
    # The client holds every station's records and the batch it is copying in.
    batch = batch_records_bytes(args, samples)
    gathered = RECORD_BYTES_PER_SAMPLE * args.stations * samples + batch
    how = f"3 components × {args.stations} × {samples} samples × 4 bytes, and one batch more"
    if args.scheduler is None:
        batches = batch_count(args)
        busy = min(args.workers, batches)  # workers given a batch
        gathered += (min(args.window, batches) * batch
                     + busy * (WORKER_PROCESS_BYTES + min(args.threads, batches) * station_bytes(samples)))
        how += f", beside the {busy} worker{'s that run' if busy > 1 else ' that runs'} the batches"
    if gathered > machine_memory():
        return (f"{args.stations} station{'s' * (args.stations > 1)}' {records}: gathering them needs "
                f"{format_bytes(gathered)} on this machine ({how}), more than its "
                f"{format_bytes(machine_memory())}; record fewer stations or a shorter duration")
    return None


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", type=scheduler_address,
                        help="address of a running scheduler, e.g. tcp://host:8786 "
                        "(default: a LocalCluster on this machine)")
    parser.add_argument("--workers", type=positive_int,
                        help="worker processes of the LocalCluster (default: one per core)")
    parser.add_argument("--threads", type=positive_int, help="threads per LocalCluster worker (default: 1)")
    parser.add_argument("--batch", type=positive_int, default=3, help="stations per run_stations call")
    parser.add_argument("--stations", type=positive_int, default=36, help="stations of the scenario")
    parser.add_argument("--duration", type=record_duration, default=run_scenario.DURATION_S,
                        help=f"record length (s, default {run_scenario.DURATION_S:g}: the main job's)")
    parser.add_argument("--out", type=output_directory, default=os.path.join(EXAMPLES, "output"))
    return parser


def parse_arguments(argv=None) -> argparse.Namespace:
    """The options, with everything that can be checked without a cluster checked: a local
    cluster's workers share this machine's memory equally."""
    parser = argument_parser()
    args = parser.parse_args(argv)
    if args.scheduler is not None:
        for option in ("workers", "threads"):
            if getattr(args, option) is not None:
                parser.error(f"argument --{option}: sets up the local cluster, which --scheduler replaces: "
                             f"the scheduler's own workers and their threads run the batches")
        # The scheduler's workers are known once connected (see `connect`); here only what
        # the client itself must hold is checked.
        workers, args.window = [], 0
    else:
        args.workers = args.workers or os.cpu_count() or 1
        args.threads = args.threads or 1
        args.memory_limit = machine_memory() // args.workers
        source = (f"this machine's {format_bytes(machine_memory())} shared by {args.workers} "
                  f"worker{'s' * (args.workers > 1)}")
        workers = [("each local worker", args.memory_limit, args.threads, source)]
        args.window = in_flight(args.workers * args.threads)
    refusal = memory_refusal(args, workers)
    if refusal:
        parser.error(refusal)
    return args


def connect(args: argparse.Namespace) -> Client:
    """A client of the scheduler at `args.scheduler` that has workers enough for the run;
    anything else ends the run with a usage message. Waits for as long as dask's connect
    timeout (`distributed.comm.timeouts.connect`, 30 s unless configured), for the scheduler
    and then for a first worker."""
    parser = argument_parser()
    try:
        client = Client(args.scheduler)
    except (OSError, ValueError, TypeError) as error:
        parser.error(f"argument --scheduler: cannot reach {args.scheduler}: {error}")
    try:
        timeout = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"))
        try:
            client.wait_for_workers(1, timeout=timeout)
        except (TimeoutError, asyncio.TimeoutError):
            parser.error(f"argument --scheduler: the scheduler at {args.scheduler} has no workers "
                         f"(none joined within {timeout:g} s)")
        info = client.scheduler_info()["workers"]
        memory = client.run(machine_memory)
        workers = [(f"worker {address}", entry.get("memory_limit") or memory[address], entry["nthreads"],
                    "its memory limit" if entry.get("memory_limit") else "its machine's memory")
                   for address, entry in info.items() if address in memory]
        args.window = in_flight(sum(threads for _, _, threads, _ in workers))
        refusal = memory_refusal(args, workers)
        if refusal:
            parser.error(refusal)
    except BaseException:
        client.close()
        raise
    return client


def main(argv=None) -> int:
    args = parse_arguments(argv)

    started = time.perf_counter()
    # The one text both the client's stations and every worker's simulator come from.
    with open(SCENARIO, encoding="utf-8") as file:
        source = file.read()
    if args.scheduler is not None:
        client = connect(args)
    else:
        os.environ.update(worker_environment())
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads,
                               memory_limit=args.memory_limit, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        scenario = scenario_module(source, "orvinta_scenario")
        _, stations, _ = scenario.build_simulator(duration_s=args.duration, dt=DT_S, count=args.stations)
        workers = len(client.scheduler_info()["workers"])
        print(f"cluster: {workers} worker processes at {client.scheduler.address}")
        records, per_process = simulate(client, source, args.duration, DT_S, stations, args.batch,
                                        args.window)
    finally:
        client.close()
        if args.scheduler is None:
            cluster.close()

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "records_distributed.npy")
    np.save(path, records)
    pga = np.maximum(records.max(axis=2), -records.min(axis=2))  # no full-size |records| copy
    run_scenario.print_table(stations, pga)
    tally = sorted(per_process.values(), reverse=True)
    print(f"\nworker processes used: {len(tally)}; batches run by each: {[b for b, _, _ in tally]}; "
          f"simulators built by each: {[n for _, n, _ in tally]}; "
          f"simulators reused from an earlier run by each: {[n for _, _, n in tally]}")
    print(f"records: {path} {records.shape} float32 cm/s^2")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
