"""Instances that Python code allocated without their engine value.

The class objects are mutable, so Python code can replace a class's
`__new__` and make an instance with `object.__new__`, which builds no engine
value. Every use that reads the value refuses such an instance with
`TypeError` "<class> object is not initialised" (a constructor argument with
the note naming its parameter), and deleting it is safe.

A replaced `__new__` cannot be put back (the class's constructor stays
broken), so each class is replaced in an interpreter of its own, which makes
one instance of it, tries each of its uses, deletes the instance and
reports.
"""

import functools

import pytest

import support

SCRIPT = """
import gc, json, sys
import support
import _orvinta as o

# Everything a use needs besides the instance, made before any patching.
segment = support.segment()
slip = o.SlipModel([segment])
layers = support.velocity_model()
config = support.config(duration_s=5.0)
parts = dict(source=o.SourceParameters(**support.source_kwargs()),
             path=o.PathParameters(rayset=[0], path_duration_model=0),
             site=o.SiteParameters(fmax_hz=10.0),
             record=o.RecordParameters(duration_s=5.0, dt=0.01))
stations = support.stations(2)

cls = getattr(o, json.loads(sys.argv[1]))
cls.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))
half = cls()
assert type(half) is cls
outcomes = []
for use in json.loads(sys.argv[2]):
    try:
        eval(use)
        outcomes.append("no error")
    except BaseException as error:
        outcomes.append([type(error).__name__, [str(a) for a in error.args],
                         getattr(error, "__notes__", [])])
del half
gc.collect()
print(json.dumps(outcomes))
"""

# The class made without its value, a use of it, and the parameter named by
# the refusal's note (None: not an argument).
USES = [
    ("FaultSegment", "o.SlipModel([segment, half])", "segments"),
    ("SlipModel", "half.subfault_count", None),
    ("SlipModel", "o.Simulator(config, half, layers)", "slip_model"),
    ("VelocityModel1D", "half.layer_count", None),
    ("VelocityModel1D", "o.Simulator(config, slip, velocity_model=half)", "velocity_model"),
    ("SourceParameters", "o.HfConfig(**dict(parts, source=half))", "source"),
    ("PathParameters", "o.HfConfig(**dict(parts, path=half))", "path"),
    ("SiteParameters", "o.HfConfig(**dict(parts, site=half))", "site"),
    ("RecordParameters", "o.HfConfig(**dict(parts, record=half))", "record"),
    ("HfConfig", "o.Simulator(half, slip, layers)", "config"),
    ("Simulator", "half.run_stations(**stations)", None),
    # Refused before its arguments are bound.
    ("Simulator", "half.run_stations(1, unknown=2)", None),
]


@functools.lru_cache(maxsize=None)
def outcomes(name):
    """The outcome of each use of `name` in USES, from one interpreter."""
    uses = [use for owner, use, _ in USES if owner == name]
    # A crash, in a use or in deleting the instance, ends the run early.
    return dict(zip(uses, support.run_script(SCRIPT, name, uses)))

@pytest.mark.parametrize("name, use, parameter", USES, ids=[f"{n}: {u}" for n, u, _ in USES])
def test_an_instance_without_its_value_is_refused(name, use, parameter):
    notes = [] if parameter is None else [f"while processing '{parameter}'"]
    assert outcomes(name)[use] == ["TypeError", [f"{name} object is not initialised"], notes]
