"""Module-frame behaviour that depends on the running interpreter: the version
warning and the one-interpreter guard under the interpreters module."""

import glob
import importlib.machinery
import os
import re
import sys
import zipfile

import pytest

import quorvane.Source.Corvantis as corvantis

NAMES = ["Corvantis", "tavrine"]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GUARD_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_built_for_the_running_interpreter_and_imports_without_warning(python_subprocess):
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert corvantis.__file__.endswith(suffix)
    proc = python_subprocess(
        """
        import warnings
        warnings.simplefilter("error")
        import quorvane.Source.Corvantis, quorvane.Source.tavrine
        print("imported")
        """
    )
    assert proc.stdout == "imported\n" and proc.stderr == ""


def builds_for_other_versions():
    """(version, wheel) for wheels of this package built for another interpreter
    (tools/check-pythons leaves them in build/py<version>/dist)."""
    running = f"cp{sys.version_info.major}{sys.version_info.minor}"
    found = []
    for wheel in sorted(glob.glob(os.path.join(ROOT, "build", "py*", "dist", "quorvane-*.whl"))):
        tag = re.search(r"-(cp3\d+)-cp3\d+-", os.path.basename(wheel))
        if tag and tag.group(1) != running:
            found.append((f"3.{tag.group(1)[3:]}", wheel))
    return found


@pytest.mark.parametrize("name", NAMES)
def test_version_warning_from_a_build_for_another_interpreter(python_subprocess, tmp_path, name):
    builds = builds_for_other_versions()
    if not builds:
        pytest.skip("no build for another interpreter version in build/py*/dist (tools/check-pythons makes them)")
    version, wheel = builds[-1]
    with zipfile.ZipFile(wheel) as archive:
        member = next(m for m in archive.namelist() if re.search(rf"/{name}\.cpython-[^/]*\.so$", m))
        path = archive.extract(member, tmp_path)
    # The warning made an error stops the import right after it, before the
    # module body touches anything that differs between versions.
    proc = python_subprocess(
        f"""
        import importlib.util, sys, warnings
        warnings.simplefilter("error", RuntimeWarning)
        spec = importlib.util.spec_from_file_location("quorvane.Source.{name}", {path!r})
        try:
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
        except RuntimeWarning as warning:
            print("warning:", warning)
        except ImportError as error:
            print("unloadable:", error)
        """,
    )
    out = proc.stdout.strip()
    if out.startswith("unloadable:") and "undefined symbol" in out:
        pytest.skip(f"the {version} build cannot be loaded by {sys.version.split()[0]}: {out}")
    running = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert out == (f"warning: compile time Python version {version} of module 'quorvane.Source.{name}' "
                   f"does not match runtime version {running}")


def run_in_subinterpreter(python_subprocess, name, first_in_main):
    return python_subprocess(
        f"""
        from concurrent import interpreters
        if {first_in_main}:
            import quorvane.Source.{name}
        interp = interpreters.create()
        try:
            interp.exec("import quorvane.Source.{name}")
        except interpreters.ExecutionFailed as failure:
            print(getattr(failure.excinfo.type, "__name__", failure.excinfo.type))
            print(failure.excinfo.msg)
        else:
            print("imported")
        finally:
            interp.close()
        import quorvane.Source.{name} as module
        print(module.__name__)
        """
    ).stdout.splitlines()


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("first_in_main", [True, False])
def test_interpreters_module_cannot_load_a_second_copy(python_subprocess, name, first_in_main):
    # The interpreters this module creates have their own lock, which the
    # modules do not declare support for: the interpreter refuses them, before
    # our guard, and the main interpreter can still import the module afterwards.
    lines = run_in_subinterpreter(python_subprocess, name, first_in_main)
    assert lines[0] == "ImportError"
    assert lines[1] in (f"module quorvane.Source.{name} does not support loading in subinterpreters",
                        GUARD_MESSAGE)
    assert lines[2] == f"quorvane.Source.{name}"
