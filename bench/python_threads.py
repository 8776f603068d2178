"""End-to-end throughput of `Simulator.run_stations` from several Python threads.

    /usr/bin/python3 bench/python_threads.py [--build DIR] [--stations N] [--threads 1,2,4,8]
                                             [--batch N] [--repeats N] [--json FILE]

One realistic simulator (the two-segment, 192-subfault earthquake of
examples/scenario.py, rays {1, 2}, 40 s at dt 0.01 s) runs N stations (64 by
default) split into batches of a few stations; the batches are run by a pool of
1, 2, 4 and 8 threads, with concurrent.futures and with dask's threaded
scheduler. `run_stations` releases the interpreter lock for a whole batch, so
the threads run the engine in parallel. Every configuration runs in a fresh
child process so that its peak resident memory (getrusage ru_maxrss) is its
own; the figure is the best of `--repeats` timed passes after one warm-up
pass. Each configuration's records are hashed and must equal the one-thread
records bit for bit.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def child(build: str, executor: str, threads: int, stations: int, batch: int, repeats: int) -> dict:
    sys.path.insert(0, os.path.join(build, "python"))
    sys.path.insert(0, os.path.join(TOP, "examples"))
    import numpy as np

    import scenario

    simulator, layout, _ = scenario.build_simulator(count=stations)
    batches = [layout.batch(start, min(start + batch, stations)) for start in range(0, stations, batch)]

    if executor == "futures":
        from concurrent.futures import ThreadPoolExecutor

        pool = ThreadPoolExecutor(max_workers=threads)

        def run_all():
            return list(pool.map(lambda kwargs: simulator.run_stations(**kwargs), batches))

    else:
        import dask

        def run_all():
            tasks = [dask.delayed(simulator.run_stations)(**kwargs) for kwargs in batches]
            return list(dask.compute(*tasks, scheduler="threads", num_workers=threads))

    run_all()  # warm-up: every thread plans its transforms
    best = float("inf")
    records = None
    for _ in range(repeats):
        start = time.perf_counter()
        parts = run_all()
        best = min(best, time.perf_counter() - start)
        records = np.concatenate(parts, axis=1)
    return {
        "executor": executor,
        "threads": threads,
        "stations": stations,
        "seconds": best,
        "stations_per_s": stations / best,
        "maxrss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
        "records_sha256": hashlib.sha256(np.ascontiguousarray(records).tobytes()).hexdigest(),
        "shape": list(records.shape),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.environ.get("BUILD_DIR", os.path.join(TOP, "build")))
    parser.add_argument("--stations", type=int, default=64)
    parser.add_argument("--threads", default="1,2,4,8")
    parser.add_argument("--batch", type=int, default=2, help="stations per run_stations call")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--child", nargs=2, metavar=("EXECUTOR", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        result = child(args.build, args.child[0], int(args.child[1]), args.stations, args.batch, args.repeats)
        print(json.dumps(result))
        return 0

    results = []
    for executor in ("futures", "dask"):
        for threads in (int(t) for t in args.threads.split(",")):
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--build", args.build, "--stations", str(args.stations),
                 "--batch", str(args.batch), "--repeats", str(args.repeats), "--child", executor, str(threads)],
                check=True, capture_output=True, text=True)
            results.append(json.loads(out.stdout.strip().splitlines()[-1]))

    one = {r["executor"]: r for r in results if r["threads"] == 1}
    reference = results[0]["records_sha256"]
    print(f"{'executor':<9} {'threads':>7} {'seconds':>8} {'stations/s':>10} {'speed-up':>8} {'peak MiB':>9} records")
    for r in results:
        r["speed_up"] = r["stations_per_s"] / one[r["executor"]]["stations_per_s"] if r["executor"] in one else None
        r["identical"] = r["records_sha256"] == reference
        speed_up = f"{r['speed_up']:.2f}" if r["speed_up"] is not None else "-"
        same = "identical" if r["identical"] else "DIFFER"
        print(f"{r['executor']:<9} {r['threads']:>7} {r['seconds']:>8.2f} {r['stations_per_s']:>10.2f} "
              f"{speed_up:>8} {r['maxrss_mib']:>9.1f} {same}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"load_average": os.getloadavg(), "results": results}, f, indent=1)
    return 0 if all(r["identical"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
