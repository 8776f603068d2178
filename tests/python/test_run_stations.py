"""`Simulator.run_stations`: the batch result, its independence from batch
position and threads, and the interpreter lock released during the run."""

import threading
import time

import numpy as np
import pytest

import _orvinta as o
import support

SIM = support.simulator()
NDATA = 2000  # 20 s at 0.01 s


def one_station(arrays, i):
    return {k: v[i:i + 1].copy() for k, v in arrays.items()}


def test_result_array_properties():
    arrays = support.stations(4)
    result = SIM.run_stations(**arrays)
    assert result.dtype == np.float32
    assert result.shape == (3, 4, NDATA)
    assert result.strides == (4 * NDATA * 4, NDATA * 4, 4)
    assert result.flags.c_contiguous
    assert result.flags.writeable
    assert result.flags.aligned
    assert not result.flags.owndata
    assert result.base is not None
    assert np.isfinite(result).all()
    assert np.abs(result).max() > 0.0
    # Each component of each station carries signal.
    assert (np.abs(result).max(axis=2) > 0.0).all()


def test_result_outlives_everything_else():
    result = support.simulator().run_stations(**support.stations(2))
    expected = result.copy()
    view = result[1, :, 10:20]
    del result
    import gc
    gc.collect()
    np.testing.assert_array_equal(view, expected[1, :, 10:20])


@pytest.mark.parametrize("n", [0, 1, 5])
def test_shapes(n):
    assert SIM.run_stations(**support.stations(n)).shape == (3, n, NDATA)


def test_empty_batch_runs_no_station():
    # A negative ray code faults as soon as a station traces it.
    faulty = support.simulator(rayset=[-1])
    result = faulty.run_stations(**support.stations(0))
    assert result.shape == (3, 0, NDATA)
    assert result.strides == (0, 0, 0)


def test_zero_length_records():
    sim = support.simulator(duration_s=0.0)
    result = sim.run_stations(**support.stations(3))
    assert result.shape == (3, 3, 0)
    assert result.strides == (0, 0, 0)
    assert result.flags.c_contiguous and result.flags.writeable


def test_result_size_limit_is_on_the_byte_count():
    # 4-byte elements whose byte count must stay below 2^63: at most
    # 2^61 - 1 of them. ndata is duration / dt in 32 bits; the longest record
    # the simulator takes is the float32 value below (2^61 - 1) / 3, where one
    # station's result just fits: an empty batch then allocates nothing of
    # that size, one station is refused for memory, and two exceed the limit.
    fits, too_many = support.longest_record_quotients()
    sim = support.simulator(duration_s=float(fits), dt=1.0)
    result = sim.run_stations(**support.stations(0))
    assert result.shape == (3, 0, int(fits))
    assert result.strides == (0, 0, 0)
    # Representable, but no memory holds it: refused, nothing crashes.
    with pytest.raises(MemoryError):
        sim.run_stations(**support.stations(1))
    panic = support.panic_type()
    with pytest.raises(panic) as info:
        sim.run_stations(**support.stations(2))
    assert "too large" in info.value.args[0]
    # One sample more than a station's result holds: refused when built.
    with pytest.raises(ValueError):
        support.simulator(duration_s=float(too_many), dt=1.0)


@pytest.mark.parametrize("lengths", [(3, 3, 2, 3, 3), (3, 2, 3, 3, 3), (3, 3, 3, 3, 4),
                                     (0, 1, 1, 1, 1)])
def test_unequal_lengths_raise_before_any_station_runs(lengths):
    faulty = support.simulator(rayset=[-1])   # would fault if a station ran
    full = support.stations(5)
    arrays = {k: v[:n] for (k, v), n in zip(full.items(), lengths)}
    with pytest.raises(ValueError) as info:
        faulty.run_stations(**arrays)
    message = info.value.args[0]
    assert len(info.value.args) == 1
    assert str(list(lengths)) in message


def test_flat_views_come_before_the_length_check():
    arrays = support.stations(3)
    arrays["longitude_deg"] = np.zeros(6, np.float32)[::2]
    arrays["kappa_s"] = arrays["kappa_s"][:2]
    with pytest.raises(TypeError) as info:
        SIM.run_stations(**arrays)
    assert info.value.args == ("The given array is not contiguous or is misaligned.",)


def test_station_rows_do_not_depend_on_batch_position_or_neighbours():
    arrays = support.stations(5)
    batch = SIM.run_stations(**arrays)
    for i in range(5):
        alone = SIM.run_stations(**one_station(arrays, i))
        np.testing.assert_array_equal(alone[:, 0, :], batch[:, i, :])
    order = np.array([3, 0, 4, 1, 2])
    permuted = SIM.run_stations(**{k: v[order].copy() for k, v in arrays.items()})
    np.testing.assert_array_equal(permuted, batch[:, order, :])


def test_repeated_station_gives_identical_rows():
    arrays = support.stations(3)
    for v in arrays.values():
        v[2] = v[0]
    result = SIM.run_stations(**arrays)
    np.testing.assert_array_equal(result[:, 0, :], result[:, 2, :])
    assert not np.array_equal(result[:, 0, :], result[:, 1, :])


def test_seed_changes_the_record_and_high_seeds_pass_unchanged():
    arrays = support.stations(4)
    arrays["station_seed"] = np.array([0, 2 ** 63, 2 ** 64 - 1, 2 ** 63 - 1], np.uint64)
    for name in ("latitude_deg", "longitude_deg"):
        arrays[name][:] = arrays[name][0]
    result = SIM.run_stations(**arrays)
    rows = [result[:, i, :] for i in range(4)]
    for a in range(4):
        for b in range(a + 1, 4):
            assert not np.array_equal(rows[a], rows[b])
    again = SIM.run_stations(**one_station(arrays, 2))
    np.testing.assert_array_equal(again[:, 0, :], rows[2])


def test_repeated_calls_are_equal_and_writing_the_result_changes_nothing():
    arrays = support.stations(3)
    first = SIM.run_stations(**arrays)
    expected = first.copy()
    first[:] = 12345.0
    np.testing.assert_array_equal(SIM.run_stations(**arrays), expected)
    # The inputs are only read.
    np.testing.assert_array_equal(arrays["kappa_s"], support.stations(3)["kappa_s"])


def test_fixture_generator_switch(monkeypatch):
    arrays = support.stations(2)
    modern = SIM.run_stations(**arrays)
    monkeypatch.setenv("KELVANE_FIXTURE_RNG", "")
    fixture = SIM.run_stations(**arrays)
    assert not np.array_equal(modern, fixture)
    np.testing.assert_array_equal(SIM.run_stations(**arrays), fixture)
    monkeypatch.delenv("KELVANE_FIXTURE_RNG")
    np.testing.assert_array_equal(SIM.run_stations(**arrays), modern)


def test_kappa_and_q_exponent_reach_the_engine():
    arrays = support.stations(3)
    arrays["kappa_s"] = np.array([0.04, 0.0, 0.04], np.float32)
    arrays["q_frequency_exponent"] = np.array([0.6, 0.6, 0.9], np.float32)
    for name in ("latitude_deg", "longitude_deg", "station_seed"):
        arrays[name][:] = arrays[name][0]
    result = SIM.run_stations(**arrays)
    assert not np.array_equal(result[:, 0], result[:, 1])
    assert not np.array_equal(result[:, 0], result[:, 2])


def test_fault_in_the_batch_returns_nothing_and_the_simulator_still_works():
    faulty = support.simulator(rayset=[0, -1])
    panic = support.panic_type()
    for _ in range(3):
        with pytest.raises(panic):
            faulty.run_stations(**support.stations(2))
    # Other work continues normally.
    assert SIM.run_stations(**support.stations(1)).shape == (3, 1, NDATA)


def test_four_threads_at_once_equal_the_serial_result():
    arrays = support.stations(6)
    serial = SIM.run_stations(**arrays)
    results = [None] * 4
    start = threading.Barrier(4)

    def work(k):
        start.wait()
        results[k] = SIM.run_stations(**arrays)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        np.testing.assert_array_equal(result, serial)


def test_dask_threaded_scheduler_equals_the_serial_result():
    dask = pytest.importorskip("dask")
    arrays = support.stations(8)
    serial = SIM.run_stations(**arrays)
    chunks = [slice(k, k + 2) for k in range(0, 8, 2)]

    @dask.delayed
    def run_chunk(part):
        return SIM.run_stations(**{k: v[part] for k, v in arrays.items()})

    pieces = dask.compute(*[run_chunk(part) for part in chunks], scheduler="threads",
                          num_workers=4)
    np.testing.assert_array_equal(np.concatenate(pieces, axis=1), serial)


def test_the_interpreter_lock_is_released_during_a_batch():
    # A long batch in one thread; this thread keeps counting meanwhile. With
    # the lock held for the whole batch it could not run at all until the
    # batch ended: its longest gap would be the batch's own length. The
    # batch is timed as it runs, so a loaded machine that slows both down
    # does not fail the test.
    sim = support.simulator(duration_s=40.0)
    arrays = support.stations(60)

    go = threading.Event()
    done = threading.Event()
    batch = {}

    def work():
        go.wait()
        started = time.perf_counter()
        sim.run_stations(**arrays)
        batch["time"] = time.perf_counter() - started
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    ticks = 0
    longest_gap = 0.0
    last = time.perf_counter()
    go.set()
    while not done.is_set():
        now = time.perf_counter()
        longest_gap = max(longest_gap, now - last)
        last = now
        ticks += 1
    worker.join()
    assert ticks > 1000
    # Far less than the batch: this thread was never shut out for its length.
    assert longest_gap < 0.5 * batch["time"], (longest_gap, batch["time"])


def test_run_stations_needs_a_simulator():
    with pytest.raises(TypeError):
        o.Simulator.run_stations(object(), **support.stations(1))


def test_same_result_from_a_rebuilt_simulator():
    arrays = support.stations(2)
    np.testing.assert_array_equal(support.simulator().run_stations(**arrays),
                                  SIM.run_stations(**arrays))
