"""The datalog module's namespace, function objects, argument errors and
main-program block."""
import inspect
import json
import pathlib
import pickle
import subprocess
import sys
import textwrap

import pytest

from quorvane.Source import Corvantis

FUNCTIONS = {
    "getKeyWordFromSettingFile": ["config_details"],
    "getDatalogInfo": ["TER_keyword", "file_paths", "site_lbl", "interval_columns"],
    "processLog": ["each_file", "each_site", "xls", "siteCnt", "totalsiteCnt", "dict_keyword",
                   "interval_columns"],
    "getAllSiteNums": ["each_file", "TER_keyword"],
}


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


def test_namespace_order_and_library_names():
    import os, re, time, openpyxl
    from openpyxl.styles import PatternFill
    names = [n for n in vars(Corvantis) if not n.startswith("__")]
    # the command line's internal entries come last, private by their names
    assert names == ["os", "re", "time", "openpyxl", "PatternFill", *FUNCTIONS, "_extract_into", "_record_plots",
                     "_save_recorded", "_recorded_rows"]
    assert (Corvantis.os, Corvantis.re, Corvantis.time, Corvantis.openpyxl) == (os, re, time, openpyxl)
    assert Corvantis.PatternFill is PatternFill
    assert Corvantis.__doc__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects_look_like_python_functions(name):
    fn = getattr(Corvantis, name)
    params = inspect.signature(fn).parameters
    assert list(params) == FUNCTIONS[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "quorvane.Source.Corvantis"
    assert fn.__kwdefaults__ is None
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_defaults_and_annotations():
    assert Corvantis.processLog.__defaults__ == (20,)
    assert inspect.signature(Corvantis.processLog).parameters["interval_columns"].default == 20
    for name in ("getKeyWordFromSettingFile", "getDatalogInfo", "getAllSiteNums"):
        assert getattr(Corvantis, name).__defaults__ is None
    assert Corvantis.getDatalogInfo.__annotations__ == {
        "file_paths": "str", "site_lbl": "str", "interval_columns": "int"}
    assert Corvantis.processLog.__annotations__ == {}


def test_binding_as_method_counts_self():
    class Holder:
        sites = Corvantis.getAllSiteNums
    assert Holder.sites is Corvantis.getAllSiteNums
    with pytest.raises(TypeError, match=r"^getAllSiteNums\(\) takes exactly 2 positional arguments \(3 given\)$"):
        Holder().sites("a", "b")


@pytest.mark.parametrize("name, args, message", [
    ("getKeyWordFromSettingFile", (), "getKeyWordFromSettingFile() takes exactly 1 positional argument (0 given)"),
    ("getKeyWordFromSettingFile", (1, 2), "getKeyWordFromSettingFile() takes exactly 1 positional argument (2 given)"),
    ("getDatalogInfo", (1, 2, 3), "getDatalogInfo() takes exactly 4 positional arguments (3 given)"),
    ("getDatalogInfo", (1, 2, 3, 4, 5), "getDatalogInfo() takes exactly 4 positional arguments (5 given)"),
    ("getAllSiteNums", ("x",), "getAllSiteNums() takes exactly 2 positional arguments (1 given)"),
    ("processLog", (1, 2, 3, 4, 5), "processLog() takes at least 6 positional arguments (5 given)"),
    ("processLog", (1, 2, 3, 4, 5, 6, 7, 8), "processLog() takes at most 7 positional arguments (8 given)"),
])
def test_argument_count_errors(name, args, message):
    with pytest.raises(TypeError) as info:
        getattr(Corvantis, name)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: Corvantis.getAllSiteNums("f", {}, site=1),
     "getAllSiteNums() got an unexpected keyword argument 'site'"),
    (lambda: Corvantis.getAllSiteNums("f", {}, each_file="g"),
     "getAllSiteNums() got multiple values for keyword argument 'each_file'"),
])
def test_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_non_string_keyword_names_through_vectorcall():
    # The interpreter refuses non-string keywords itself for f(**d); a C
    # caller can still hand some over in the vectorcall keyword names.
    import ctypes
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = ["f", {}, 1]
    array = (ctypes.py_object * 3)(*values)
    with pytest.raises(TypeError) as info:
        api.PyObject_Vectorcall(Corvantis.getAllSiteNums, ctypes.addressof(array), 2, (7,))
    assert str(info.value) == "getAllSiteNums() keywords must be strings"


def test_keywords_accepted_by_name(tmp_path):
    log = tmp_path / "log.txt"
    log.write_text("Site: 3\n", encoding="utf-8")
    assert Corvantis.getAllSiteNums(TER_keyword={"SiteNum": "Site: "}, each_file=str(log)) == "3"


def test_import_prints_nothing_and_reimport_is_same_object(tmp_path):
    result = run_python("""
        import importlib, sys
        import quorvane.Source.Corvantis as a
        sys.modules.pop("quorvane.Source.Corvantis")
        b = importlib.import_module("quorvane.Source.Corvantis")
        assert a is b
        assert not hasattr(a, "TER_keyword")
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


MAIN_BLOCK = """
    import importlib.util, sys
    origin = importlib.util.find_spec("quorvane.Source.Corvantis").origin
    spec = importlib.util.spec_from_file_location("__main__", origin)
    main = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(main)
    print(sorted(main.TER_keyword.items()))
    print(main.config_file.closed, main.config_details["keyword_site"])
"""


def test_main_program_block_builds_the_keyword_table(tmp_path):
    settings = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
                "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#", "extra": 1}
    (tmp_path / "SHM_keywords_setting.json").write_text(json.dumps(settings))
    result = run_python(MAIN_BLOCK, tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "Corvantis module loaded. Use getDatalogInfo() to run."
    table = dict(eval(lines[1]))
    assert table["SiteNum"] == "Site: " and table["RowOffset"] == "1" and table["Platform"] == "TER"
    assert lines[2] == "True Site: "


def test_main_program_block_without_settings_fails_before_printing(tmp_path):
    result = run_python(MAIN_BLOCK, tmp_path)
    assert result.returncode != 0
    assert "FileNotFoundError" in result.stderr and "SHM_keywords_setting.json" in result.stderr
    assert result.stdout == ""


FAKE_STYLES = """
import types
fake = types.ModuleType("openpyxl"); fake.__path__ = []
fake.styles = types.ModuleType("openpyxl.styles")
sys.modules["openpyxl"] = fake; sys.modules["openpyxl.styles"] = fake.styles
"""


@pytest.mark.parametrize("setup, expected", [
    ("sys.modules['openpyxl'] = None", "ModuleNotFoundError"),
    (FAKE_STYLES, "ImportError: cannot import name PatternFill"),
])
def test_import_fails_without_the_workbook_library(tmp_path, setup, expected):
    code = "import sys\n" + setup + textwrap.dedent("""
        try:
            import quorvane.Source.Corvantis
        except ImportError as exc:
            print(type(exc).__name__ + ": " + str(exc))
            print("quorvane.Source.Corvantis" in sys.modules)
    """)
    result = run_python(code, tmp_path)
    assert result.returncode == 0, result.stderr
    first, registered = result.stdout.splitlines()
    assert first.startswith(expected)
    assert registered == "False"


def test_the_extraction_example_runs_as_a_user_runs_it(tmp_path):
    # The bundled example and its sample data must keep working together: a
    # workbook in the working directory with a block per announced site.
    import openpyxl

    example = pathlib.Path(__file__).resolve().parents[1] / "examples" / "extract_workbook.py"
    done = subprocess.run([sys.executable, str(example)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    saved = done.stdout.strip().splitlines()[-1]
    assert saved.startswith("saved ")
    path = pathlib.Path(saved[len("saved "):])
    assert path.parent == tmp_path and path.name.startswith("shmplot_") and path.suffix == ".xlsx"
    sheet = openpyxl.load_workbook(path)["Sheet"]
    names = [c.value for c in sheet[1] if c.value]
    assert len(names) == 2 and all(name.endswith("sample_datalog.txt") for name in names)
    points = [c.value for row in sheet.iter_rows() for c in row]
    assert points.count("P") > 0 and points.count(".") > 0
