"""The native function objects and module guards, seen from Python."""
import copy
import inspect
import pickle
import re

import pytest

import quorvane.Source.Corvantis as corvantis

SETTINGS = {
    "keyword_item": "item",
    "keyword_site": "Site ",
    "keyword_start": "start",
    "keyword_end": "end",
    "keyword_pass": "P",
    "keyword_fail": r"\.",
}


@pytest.fixture
def fn():
    return corvantis.getKeyWordFromSettingFile


def test_looks_like_a_python_function(fn):
    assert fn.__name__ == "getKeyWordFromSettingFile"
    assert fn.__qualname__ == "getKeyWordFromSettingFile"
    assert fn.__module__ == "quorvane.Source.Corvantis"
    assert fn.__doc__ is None
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    assert fn.__text_signature__ is None
    assert fn.__globals__ is vars(corvantis)
    assert str(inspect.signature(fn)) == "(config_details)"
    assert inspect.isroutine(fn)
    assert re.fullmatch(r"<function getKeyWordFromSettingFile at 0x[0-9a-f]+>", repr(fn))


def test_signature_follows_defaults_and_annotations(fn):
    params = inspect.signature(corvantis.processLog).parameters
    assert list(params) == ["each_file", "each_site", "xls", "siteCnt", "totalsiteCnt", "dict_keyword",
                            "interval_columns"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["interval_columns"].default == 20
    assert params["each_file"].default is inspect.Parameter.empty
    sig = inspect.signature(corvantis.getDatalogInfo)
    assert sig.parameters["file_paths"].annotation == "str"
    assert sig.parameters["TER_keyword"].annotation is inspect.Parameter.empty


def test_attributes_are_writable_like_a_functions(fn):
    clone_source = corvantis.processLog
    saved = clone_source.__defaults__
    try:
        clone_source.__defaults__ = (30,)
        assert inspect.signature(clone_source).parameters["interval_columns"].default == 30
        with pytest.raises(TypeError):
            clone_source.__defaults__ = [30]
    finally:
        clone_source.__defaults__ = saved
    fn.custom_marker = 1
    try:
        assert fn.__dict__["custom_marker"] == 1
    finally:
        del fn.custom_marker


def test_pickles_and_copies_by_reference(fn):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_binds_as_a_method_through_an_instance(fn):
    class Holder:
        method = fn

        def __getitem__(self, key):
            return SETTINGS[key]

    assert Holder.method is fn
    bound = Holder().method
    assert inspect.ismethod(bound) and bound.__func__ is fn
    assert str(inspect.signature(bound)) == "()"
    assert bound()["Item"] == "item"
    with pytest.raises(TypeError, match=re.escape("getKeyWordFromSettingFile() takes exactly 1 positional "
                                                  "argument (2 given)")):
        Holder().method(1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "getKeyWordFromSettingFile() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "getKeyWordFromSettingFile() takes exactly 1 positional argument (2 given)"),
        ((), {"bogus": 1}, "getKeyWordFromSettingFile() takes exactly 1 positional argument (0 given)"),
        ((SETTINGS,), {"bogus": 1}, "getKeyWordFromSettingFile() got an unexpected keyword argument 'bogus'"),
        ((SETTINGS,), {"config_details": 1},
         "getKeyWordFromSettingFile() got multiple values for keyword argument 'config_details'"),
    ],
)
def test_argument_errors_use_the_interpreter_wording(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        (5, "processLog() takes at least 6 positional arguments (5 given)"),
        (8, "processLog() takes at most 7 positional arguments (8 given)"),
        (0, "processLog() takes at least 6 positional arguments (0 given)"),
    ],
)
def test_count_errors_with_optional_parameters(args, message):
    with pytest.raises(TypeError) as info:
        corvantis.processLog(*range(args))
    assert str(info.value) == message


def test_missing_argument_reports_its_position_as_the_count_given():
    # Keywords fill the parameters in order; the first one still missing is
    # reported as if that many arguments had been given.
    with pytest.raises(TypeError) as info:
        corvantis.getDatalogInfo({}, file_paths="a", interval_columns=20)
    assert str(info.value) == "getDatalogInfo() takes exactly 4 positional arguments (2 given)"


def test_keywords_bind_in_any_order(fn):
    assert fn(config_details=SETTINGS) == fn(SETTINGS)


def test_non_string_keyword_is_refused(fn):
    with pytest.raises(TypeError, match="keywords must be strings"):
        fn(**{1: 2})


def test_reimport_gives_the_same_module_and_prints_nothing(python_subprocess):
    proc = python_subprocess(
        """
        import importlib, sys
        import quorvane.Source.Corvantis as first
        del sys.modules["quorvane.Source.Corvantis"]
        second = importlib.import_module("quorvane.Source.Corvantis")
        assert first is second, "a second import created another module"
        """
    )
    assert proc.stdout == "" and proc.stderr == ""


@pytest.mark.parametrize("name", ["Corvantis", "tavrine"])
def test_second_interpreter_is_refused(python_subprocess, name):
    # A subinterpreter sharing the main one's lock, so that the module's own
    # guard, not the interpreter's isolation check, does the refusing.
    proc = python_subprocess(
        f"""
        import sys
        import quorvane.Source.{name}
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config("legacy"))
            failure = interpreters.run_string(interp, "import quorvane.Source.{name}")
            print(failure.formatted if failure else "imported")
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import quorvane.Source.{name}")
            except Exception as exc:
                print(exc)
            else:
                print("imported")
        """
    )
    assert "ImportError" in proc.stdout
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." \
        in proc.stdout


@pytest.mark.parametrize("name", ["Corvantis", "tavrine"])
def test_executing_into_another_module_object_is_refused(python_subprocess, name):
    proc = python_subprocess(
        f"""
        import _imp, importlib.util
        spec = importlib.util.find_spec("quorvane.Source.{name}")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert proc.stdout.strip() == (f"Module '{name}' has already been imported. "
                                   "Re-initialisation is not supported.")


def test_failed_import_is_released_and_can_be_retried(python_subprocess):
    proc = python_subprocess(
        """
        import sys
        sys.modules["openpyxl"] = None
        try:
            import quorvane.Source.Corvantis
        except ImportError as exc:
            print("first:", isinstance(exc, ImportError))
        assert "quorvane.Source.Corvantis" not in sys.modules
        del sys.modules["openpyxl"]
        import quorvane.Source.Corvantis as mod
        print("second:", mod.getKeyWordFromSettingFile.__module__)
        """
    )
    assert proc.stdout.splitlines() == ["first: True", "second: quorvane.Source.Corvantis"]


def test_missing_pattern_fill_is_an_import_error(python_subprocess):
    proc = python_subprocess(
        """
        import openpyxl.styles
        del openpyxl.styles.PatternFill
        try:
            import quorvane.Source.Corvantis
        except ImportError as exc:
            print(exc)
        """
    )
    assert proc.stdout.strip() == "cannot import name PatternFill"
