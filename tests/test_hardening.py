"""Faults a careful probe found: each of these once crashed, leaked or hid
an error. The crash cases run in a subprocess, so a regression fails one
test instead of killing the run."""
import gc
import subprocess
import sys
import textwrap
import weakref

from tavro_experiment_tracking.entities.quorril import NamedEntity


def run_python(code, **kwargs):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120,
                          **kwargs)
    assert done.returncode == 0, "exit code {}:\n{}".format(done.returncode, done.stderr[-3000:])
    return done.stdout


def test_iterator_reentered_while_producing_refuses_like_a_generator():
    out = run_python("""
        from tavro_experiment_tracking.entities.quorril import NamedEntity

        class Draining(NamedEntity):
            def _properties(self):
                for _ in self.it:
                    pass
                return ["name"]

        entity = Draining("n", None)
        entity.it = iter(entity)
        try:
            next(entity.it)
        except ValueError as e:
            print(e)
        print(list(entity.it))
        """)
    assert out.splitlines() == ["generator already executing", "[]"]


def test_iterator_in_a_cycle_is_collected():
    entity = NamedEntity("n", None)
    entity.it = iter(entity)
    ref = weakref.ref(entity)
    del entity
    gc.collect()
    assert ref() is None


def test_deep_recursion_through_native_code_raises_instead_of_crashing():
    out = run_python("""
        import sys
        from tavro_experiment_tracking.entities.quorril import NamedEntity, NamedEntityPrinter

        class Node(NamedEntity):
            def __init__(self, child):
                super().__init__("n", None)
                self._child = child

            @property
            def child(self):
                return self._child

        node = None
        for _ in range(100000):
            node = Node(node)
        sys.setrecursionlimit(1000000)
        try:
            NamedEntityPrinter().to_string(node)
        except RecursionError as e:
            print(type(e).__name__, e)
        """)
    assert out.startswith("RecursionError maximum recursion depth exceeded")


def test_import_errors_reach_the_importer_as_themselves():
    out = run_python("""
        import sys

        class NoOic:
            def find_spec(self, name, path=None, target=None):
                if name == "oic" or name.startswith("oic."):
                    raise ModuleNotFoundError("No module named 'oic'", name="oic")

        sys.meta_path.insert(0, NoOic())
        try:
            import tavro_experiment_tracking.auth.authenticator
        except ImportError as e:
            print(type(e).__name__, e)
        sys.meta_path.pop(0)

        from tavro_experiment_tracking import constants
        constants.DEFAULT_TRACK_SERVER = 5
        try:
            import tavro_experiment_tracking.tracking.initialize
        except Exception as e:
            print(type(e).__name__, e)
        """)
    assert out.splitlines() == [
        "ModuleNotFoundError No module named 'oic'",
        "TypeError Argument 'tracking_uri' has incorrect type (expected str, got int)",
    ]
