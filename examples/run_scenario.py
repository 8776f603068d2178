"""Simulate the default scenario on a dask thread pool and summarise it.

    /usr/bin/python3 examples/run_scenario.py [--out DIR] [--batch N] [--workers N]

Builds one `Simulator` for the embedded earthquake, runs its stations in batches
through dask's threaded scheduler (each batch releases the interpreter lock, so
the batches run in parallel against the one simulator), prints each station's
distance and peak ground acceleration per component, and writes a figure of the
three components at a near and a far station and of PGA against distance.

Every record is DURATION_S long, long enough that it is bit for bit the start
of a longer record of the same station: a shorter one would cut off, and
draw anew, the arrivals that start less than a time window before its end.
Option values that cannot run are refused with a usage message (exit
status 2) before any work starts.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dask  # noqa: E402
from dask.diagnostics import ProgressBar  # noqa: E402

import scenario  # noqa: E402

COMPONENTS = ("090", "000", "vertical")
# cm/s^2 per g, for the table.
G_CM_S2 = 980.665
# Record length (s) and sample interval (s) of the main job. Measured on the
# scenario's 36 stations out to 100 km: their motion stays above 1e-3 of its
# peak until at most 92 s, 94 s is the shortest whole second at which every
# record equals the start of one twice as long, and what a 240 s record holds
# after 120 s stays below 2e-5 of its peak. A 60 s record differs from the
# start of a 120 s one at 16 stations from 7.7 km out.
DURATION_S = 120.0
DT_S = 0.01


def simulate(simulator, stations, batch: int, workers: int) -> np.ndarray:
    """All stations' records, shape (3, n_station, n_time), from batches run on dask threads."""
    tasks = [
        dask.delayed(simulator.run_stations)(**stations.batch(start, min(start + batch, len(stations))))
        for start in range(0, len(stations), batch)
    ]
    with ProgressBar():
        parts = dask.compute(*tasks, scheduler="threads", num_workers=workers)
    return np.concatenate(parts, axis=1)


def print_table(stations, pga: np.ndarray) -> None:
    print()
    print(f"{'station':>7} {'R_rup km':>9} {'PGA 090 g':>10} {'PGA 000 g':>10} {'PGA vert g':>11}")
    for k in range(len(stations)):
        row = pga[:, k] / G_CM_S2
        print(f"{k:>7d} {stations.rupture_distance_km[k]:>9.1f} {row[0]:>10.4f} {row[1]:>10.4f} {row[2]:>11.4f}")


def plot(path: str, records: np.ndarray, stations, pga: np.ndarray, dt: float) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    near = int(np.argmin(stations.rupture_distance_km))
    far = int(np.argmax(stations.rupture_distance_km))
    time_s = (np.arange(records.shape[2]) + 1) * dt  # element k is at (k + 1) dt

    fig = plt.figure(figsize=(12, 9), constrained_layout=True)
    grid = fig.add_gridspec(4, 2, height_ratios=[1, 1, 1, 1.6])
    for column, k in enumerate((near, far)):
        for c, name in enumerate(COMPONENTS):
            ax = fig.add_subplot(grid[c, column])
            ax.plot(time_s, records[c, k], lw=0.5, color="k")
            ax.set_ylabel(f"{name}\ncm/s²")
            if c == 0:
                ax.set_title(f"station {k}, R_rup {stations.rupture_distance_km[k]:.1f} km")
            if c == 2:
                ax.set_xlabel("time (s)")
    ax = fig.add_subplot(grid[3, :])
    for c, (name, marker) in enumerate(zip(COMPONENTS, "os^")):
        ax.loglog(stations.rupture_distance_km, pga[c] / G_CM_S2, marker, ms=4, label=name, alpha=0.8)
    ax.set_xlabel("closest distance to the rupture (km)")
    ax.set_ylabel("PGA (g)")
    ax.grid(True, which="both", lw=0.3)
    ax.legend()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def positive_int(text: str) -> int:
    """A count of at least one (argparse type)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def output_directory(text: str) -> str:
    """A folder the outputs can be written to (argparse type). It is made at the end of the
    run when missing, so the folder, or the nearest existing one above it, must be a folder
    this process can write: checked here, so that no run ends, its work done, on a folder
    it cannot make."""
    if not text:
        raise argparse.ArgumentTypeError("is empty, not a folder")
    existing = os.path.abspath(text)
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        raise argparse.ArgumentTypeError(f"{text!r} cannot be a folder: {existing} is a file")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise argparse.ArgumentTypeError(f"{text!r} cannot be written: {existing} is not writable")
    return text


def parse_arguments(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=output_directory,
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "output"))
    parser.add_argument("--batch", type=positive_int, default=3, help="stations per run_stations call")
    parser.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                        help="threads that run the batches")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_arguments(argv)

    started = time.perf_counter()
    simulator, stations, slip_model = scenario.build_simulator(duration_s=DURATION_S, dt=DT_S)
    print(
        f"scenario: {slip_model.subfault_count} subfaults on {len(scenario.SEGMENTS)} segments, "
        f"rays {{1, 2}}, {len(stations)} stations, {simulator_ndata(simulator, DT_S)} samples at dt {DT_S} s"
    )
    records = simulate(simulator, stations, args.batch, args.workers)
    pga = np.abs(records).max(axis=2)
    print_table(stations, pga)

    os.makedirs(args.out, exist_ok=True)
    figure = os.path.join(args.out, "scenario.png")
    plot(figure, records, stations, pga, DT_S)
    np.save(os.path.join(args.out, "records.npy"), records)
    print(f"\nfigure: {figure}")
    print(f"records: {os.path.join(args.out, 'records.npy')} {records.shape} float32 cm/s^2")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


def simulator_ndata(simulator, dt: float) -> int:
    """Samples per record, read off a zero-station batch (the shape's last extent)."""
    empty = np.empty(0, dtype=np.float32)
    out = simulator.run_stations(
        latitude_deg=empty,
        longitude_deg=empty,
        station_seed=np.empty(0, dtype=np.uint64),
        kappa_s=empty,
        q_frequency_exponent=empty,
    )
    return out.shape[2]


if __name__ == "__main__":
    sys.exit(main())
