"""A stand-in for the `pymatching` module that records what `to_pymatching` asks of it."""

import contextlib
import sys
import types


class RecordingMatching:
    """Records `add_edge` and `set_boundary_nodes` calls in order."""

    def __init__(self, *args, **kwargs):
        self.init_args = (args, kwargs)
        self.calls = []

    def add_edge(self, *args, **kwargs):
        self.calls.append(("add_edge", args, kwargs))

    def set_boundary_nodes(self, nodes):
        self.calls.append(("set_boundary_nodes", (nodes,), {}))
        return "ignored"

    def edges(self):
        """(node_a, node_b, observables, weight) of every add_edge call, in order."""
        return [
            (args[0], args[1], tuple(sorted(kwargs.get("fault_ids", ()))), kwargs["weight"])
            for name, args, kwargs in self.calls
            if name == "add_edge"
        ]


@contextlib.contextmanager
def recording_pymatching(matching_class=RecordingMatching):
    """Installs a fake `pymatching` module whose `Matching` is `matching_class`."""
    saved = sys.modules.get("pymatching", None)
    had = "pymatching" in sys.modules
    fake = types.ModuleType("pymatching")
    fake.Matching = matching_class
    sys.modules["pymatching"] = fake
    try:
        yield fake
    finally:
        if had:
            sys.modules["pymatching"] = saved
        else:
            del sys.modules["pymatching"]


def recorded_edges(model):
    """The graph of `model` as the ordered list of edges that to_pymatching passes on."""
    with recording_pymatching():
        return model.to_pymatching().edges()
