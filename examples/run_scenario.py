"""Simulate the default scenario on a dask thread pool and summarise it.

    /usr/bin/python3 examples/run_scenario.py [--out DIR] [--batch N] [--workers N]

Builds one `Simulator` for the embedded earthquake, runs its stations in batches
through dask's threaded scheduler (each batch releases the interpreter lock, so
the batches run in parallel against the one simulator), prints each station's
distance and peak ground acceleration per component, and writes a figure of the
three components at a near and a far station and of PGA against distance.
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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "output"))
    parser.add_argument("--batch", type=int, default=3, help="stations per run_stations call")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)

    started = time.perf_counter()
    dt = 0.01
    simulator, stations, slip_model = scenario.build_simulator(duration_s=60.0, dt=dt)
    print(
        f"scenario: {slip_model.subfault_count} subfaults on {len(scenario.SEGMENTS)} segments, "
        f"rays {{1, 2}}, {len(stations)} stations, {simulator_ndata(simulator, dt)} samples at dt {dt} s"
    )
    records = simulate(simulator, stations, args.batch, args.workers)
    pga = np.abs(records).max(axis=2)
    print_table(stations, pga)

    os.makedirs(args.out, exist_ok=True)
    figure = os.path.join(args.out, "scenario.png")
    plot(figure, records, stations, pga, dt)
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
