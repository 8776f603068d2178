"""Calls made on a thread state that the caller made itself.

An embedder that runs Python on threads of its own makes a thread state with
`PyThreadState_New` and makes it current with `PyThreadState_Swap`: the
thread then holds the interpreter lock through a state the interpreter's
own per-thread bookkeeping does not know. The module must still see that it
holds the lock there, and release every reference it takes. ctypes reaches
the two functions from Python; the calls run on the main thread with no
other thread alive, so no other thread asks for the lock while the states
are swapped. Only calls that succeed are made there: the running Python
frame keeps its own thread state, which would not see an exception raised
on the made one.
"""

import pytest

import support

SCRIPT = """
import ctypes, json, sys
import support

api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyThreadState_New.restype = ctypes.c_void_p
api.PyThreadState_New.argtypes = [ctypes.c_void_p]
api.PyThreadState_Swap.restype = ctypes.c_void_p
api.PyThreadState_Swap.argtypes = [ctypes.c_void_p]
api.PyThreadState_Clear.argtypes = [ctypes.c_void_p]
api.PyThreadState_Delete.argtypes = [ctypes.c_void_p]

case = sys.argv[1]
sim = support.simulator(duration_s=2.0)
stations = support.stations(1)
layers = support.velocity_kwargs()
if case == "batch":
    arguments = stations
    call = lambda: sim.run_stations(**stations)
else:
    arguments = layers
    call = lambda: support.o.VelocityModel1D(**layers)

def counts():
    return {name: sys.getrefcount(value) for name, value in arguments.items()}

before = counts()
made = api.PyThreadState_New(api.PyInterpreterState_Get())
own = api.PyThreadState_Swap(made)
for _ in range(100):
    call()
api.PyThreadState_Swap(own)
api.PyThreadState_Clear(made)
api.PyThreadState_Delete(made)
print(json.dumps([before, counts()]))
"""


@pytest.mark.parametrize("case", ["batch", "velocity model"])
def test_references_are_released_on_a_thread_state_the_caller_made(case):
    before, after = support.run_script(SCRIPT, case)
    assert after == before
