"""Daemon threads still inside the module when the interpreter exits.

CPython 3.11 to 3.13 end a thread that takes the interpreter lock back while
the interpreter finalizes with `pthread_exit`, which unwinds the thread
through the module's frames; 3.14 and later park such a thread instead.
Either way the process must end as it would without the module: exit
status 0, nothing reported. Each script runs in an interpreter of its own
so that it really finalizes, starts eight daemon threads that call into the
module in a loop, waits until the calls are flowing and ends without joining
them. A thread can be ended wherever the module lets Python run: when the
lock is taken back after a batch, and inside Python code that an argument
conversion calls or that releasing an argument runs.
"""

import pathlib
import subprocess
import sys

import pytest

import support

SCRIPT = """
import sys, threading, time
sys.path.insert(0, {support_dir!r})
import support
import _orvinta as o

how, where, linger = sys.argv[1], sys.argv[2], float(sys.argv[3])


def busy():
    # Long enough for the interpreter to hand its lock to another thread.
    total = 0
    for k in range(2000):
        total += k
    return total


class SlowNumber:
    def __index__(self):
        busy()
        return 1

    def __float__(self):
        busy()
        return 1.0


class SlowlyReleased:
    # An iterator over 1, 2 whose release runs Python code.
    def __init__(self):
        self.items = iter([1, 2])

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.items)

    def __del__(self):
        busy()


class Rays:
    def __len__(self):
        return 2

    def __getitem__(self, k):
        return [1, 2][k]

    def __iter__(self):
        return SlowlyReleased()


sim = support.simulator(duration_s=5.0)
stations = support.stations(2)
source = support.source_kwargs(corner_frequency_constant=SlowNumber())
work = {{
    "batch": lambda: sim.run_stations(**stations),
    "float": lambda: o.SourceParameters(**source),
    "index": lambda: o.PathParameters(rayset=[0, SlowNumber()], path_duration_model=0),
    "release": lambda: o.PathParameters(rayset=Rays(), path_duration_model=0),
}}[where]

done = 0
def call(_=None):
    global done
    work()
    done += 1

def forever():
    while True:
        call()

if how == "pool":
    from multiprocessing.pool import ThreadPool  # its workers are daemon threads
    pool = ThreadPool(8)
    pool.map_async(call, range(10 ** 7))
else:
    for _ in range(8):
        threading.Thread(target=forever, daemon=True).start()
deadline = time.monotonic() + 60
while done < 16 and time.monotonic() < deadline:
    time.sleep(0.001)
print("calls in flight:", done >= 16, flush=True)
time.sleep(linger)
"""

SUPPORT_DIR = str(pathlib.Path(support.__file__).parent)

# A few moments of ending after the calls started: each run raced the exit
# and lost on the unfixed module, but the moment still varies.
LINGER = ["0", "0.05", "0.3"]


@pytest.mark.parametrize("how, where", [
    ("pool", "batch"),     # a thread pool's workers, the lock taken back after a batch
    ("threads", "batch"),
    ("threads", "float"),  # inside `__float__`, called by a number's conversion
    ("threads", "index"),  # inside `__index__`, called by an integer list's conversion
    ("threads", "release"),  # inside `__del__`, run by releasing an argument's iterator
])
def test_daemon_threads_in_the_module_at_exit_end_cleanly(how, where):
    script = SCRIPT.format(support_dir=SUPPORT_DIR)
    runs = [subprocess.Popen([sys.executable, "-c", script, how, where, linger],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for linger in LINGER]
    for linger, run in zip(LINGER, runs):
        out, err = run.communicate(timeout=180)
        context = f"after {linger} s: exit status {run.returncode}\n{err}"
        assert out == "calls in flight: True\n", context
        assert run.returncode == 0, context
        for sign in ["FATAL", "terminate", "PanicException", "faulted"]:
            assert sign not in err, context
