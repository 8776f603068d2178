"""Prints the throughput table from the benchmark binary's JSON and python_threads.py's JSON.

    /usr/bin/python3 bench/report.py ENGINE_JSON [PYTHON_JSON]

(1) the kernel floor of one pair, (2) the engine's time per placed pair on the
realistic station as a ratio to the floor of the same pairs, (3) the Python
end-to-end figures, (4) the scaling in subfaults and ray codes, and the heap
allocations of the per-pair loop. Engine figures are the fastest of the
benchmark's repetitions; floors are each kernel's fastest repetition.
"""

from __future__ import annotations

import json
import os
import sys
from collections import defaultdict


def fastest_runs(benchmarks):
    """Per benchmark name (without repetition suffixes): the iteration run with the lowest time."""
    best = {}
    for b in benchmarks:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        if name not in best or b["real_time"] < best[name]["real_time"]:
            best[name] = b
    return best


def cpu_model() -> str:
    """The processor's model name as lscpu shows it (from /proc/cpuinfo)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


def main() -> int:
    with open(sys.argv[1]) as f:
        engine = json.load(f)
    runs = fastest_runs(engine["benchmarks"])
    ctx = engine["context"]
    print(f"Machine: {cpu_model()}, {os.cpu_count()} cores at {ctx.get('mhz_per_cpu', '?')} MHz; "
          f"load average at start {', '.join(f'{x:.1f}' for x in ctx.get('load_avg', []))}")
    print()

    print("(1) Kernel floor of one pair (us), each kernel timed in isolation on fresh inputs")
    kernels = ["transforms_us", "normals_us", "uniforms_us", "sincos_us", "amplitude_us", "floor_us"]
    labels = ["6 transforms", "3 np2 normals", "10000 uniforms", "11000 sincosf", "expf/powf", "floor"]
    floors = sorted((r for n, r in runs.items() if n.startswith("BM_KernelFloor/")),
                    key=lambda r: int(r["run_name"].split("/")[1]))
    print(f"  {'np2':>6} " + " ".join(f"{l:>14}" for l in labels))
    for r in floors:
        print(f"  {r['run_name'].split('/')[1]:>6} " + " ".join(f"{r[k]:>14.1f}" for k in kernels))
    print()

    print("(2) Engine per placed pair, realistic station (20 x 10 subfaults, rays {1, 2}, 40 s at 0.01 s)")
    print(f"  {'station':>8} {'pairs':>6} {'np2 mean':>9} {'engine us/pair':>15} {'floor us/pair':>14} {'ratio':>6}  (target <= 1.25)")
    for name in sorted((n for n in runs if n.startswith("BM_EnginePerPair/")), key=lambda n: int(n.split("/")[1])):
        r = runs[name]
        per_pair_us = r["per_pair"] * 1e6
        print(f"  {name.split('/')[1] + ' km':>8} {r['pairs']:>6.0f} {r['np2_mean']:>9.0f} {per_pair_us:>15.1f} "
              f"{r['floor_per_pair_us']:>14.1f} {per_pair_us / r['floor_per_pair_us']:>6.2f}")
    print()

    if len(sys.argv) > 2:
        with open(sys.argv[2]) as f:
            py = json.load(f)
        results = py["results"]
        print(f"(3) Python end to end: {results[0]['stations']} stations, one Simulator (2 segments, 192 subfaults, "
              f"rays {{1, 2}}, 40 s at 0.01 s); load average {', '.join(f'{x:.1f}' for x in py['load_average'])}")
        print(f"  {'executor':<20} {'threads':>7} {'stations/s':>10} {'speed-up':>8} {'peak MiB':>9}  records")
        for r in results:
            name = "concurrent.futures" if r["executor"] == "futures" else "dask threads"
            print(f"  {name:<20} {r['threads']:>7} {r['stations_per_s']:>10.2f} {r['speed_up']:>8.2f} "
                  f"{r['maxrss_mib']:>9.1f}  {'identical' if r['identical'] else 'DIFFER'}")
        print()

    print("(4) Scaling: one station 20 km away, n/10 x 10 subfaults, ray codes {1}, {1, 2}, {1, 2, 3, 4}")
    print(f"  {'subfaults':>9} {'rays':>4} {'pairs':>6} {'ms/station':>10} {'us/pair':>8} {'floor us/pair':>14} {'ratio':>6}")
    scaling = defaultdict(dict)
    for name, r in runs.items():
        if name.startswith("BM_Scaling/"):
            _, n, k = name.split("/")
            scaling[int(n)][int(k)] = r
    for n in sorted(scaling):
        for k in sorted(scaling[n]):
            r = scaling[n][k]
            ms = r["real_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[r["time_unit"]]
            per_pair_us = r["per_pair"] * 1e6
            print(f"  {n:>9} {k:>4} {r['pairs']:>6.0f} {ms:>10.1f} {per_pair_us:>8.1f} "
                  f"{r['floor_per_pair_us']:>14.1f} {per_pair_us / r['floor_per_pair_us']:>6.2f}")
    print()

    alloc = next((r for n, r in runs.items() if n.startswith("BM_PairLoopAllocations")), None)
    if alloc:
        print("Heap allocations of one whole run (operator new, after a warm-up run on the thread)")
        for x in ("x1", "x2", "x4"):
            print(f"  ray set {{1, 2}} {x}: {alloc['pairs_' + x]:>5.0f} pairs, {alloc['plans_' + x]:.0f} transform lengths, "
                  f"{alloc['allocs_run_' + x]:.0f} allocations")
        print(f"  allocations per additional pair: {alloc['allocs_per_extra_pair']:g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
