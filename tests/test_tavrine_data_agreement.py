"""The native shmoo CSV loader against the chunk-reader loop.

A subclass that overrides a conversion method (delegating to the original)
always gets the chunk-reader loop; the plain classes get the native loader
whenever it can read the file. Both must be indistinguishable: tensors bit for
bit, labels, raw_dict with its value types, data_count, every printed line and
every exception.
"""

import contextlib
import io
import math
import random
import types

import numpy as np
import pandas as pd
import pytest
import torch

from quorvane.Source import tavrine

KEYS = ["Fail", "Pass", "Vol", "Freq", "Marginal", "Hole"]


class SlowTraining(tavrine.CsvDataset):
    def convert_SHM_data(self, tmp_np):
        return super().convert_SHM_data(tmp_np)


class SlowTest(tavrine.CsvDataset_Test):
    def convert_SHM_data(self, tmp_np):
        return super().convert_SHM_data(tmp_np)


def build(cls, path):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            dataset = cls(str(path))
        except Exception as e:  # compared between the two paths
            return None, (type(e), str(e)), out.getvalue()
    return dataset, None, out.getvalue()


def rows_read(dataset):
    # Rows the chunk reader handed out: none when the native loader read the file.
    return dataset.csv_df._currow


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, (float, np.floating)) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return a == b


def assert_same_tensor(a, b):
    assert a.dtype == b.dtype == torch.float32
    assert a.shape == b.shape
    assert a.is_contiguous() and b.is_contiguous()
    assert torch.equal(a.view(torch.int32), b.view(torch.int32))


def assert_agree(path, native_cls, slow_cls, expect_native=None):
    fast, fast_error, fast_out = build(native_cls, path)
    slow, slow_error, slow_out = build(slow_cls, path)
    assert fast_out == slow_out
    assert fast_error == slow_error
    if slow is None:
        return fast_out
    assert rows_read(slow) > 0 or slow.data_count == 0
    if expect_native is not None:
        assert (rows_read(fast) == 0) is expect_native
    assert fast.data_count == slow.data_count
    assert_same_tensor(fast.X_train, slow.X_train)
    if isinstance(slow.Y_train, list):
        assert same_value(fast.Y_train, slow.Y_train)
        assert same_value(list(fast.raw_dict), list(slow.raw_dict))
        assert same_value(list(fast.raw_dict.values()), list(slow.raw_dict.values()))
    else:
        assert_same_tensor(fast.Y_train, slow.Y_train)
    assert len(fast) == len(slow)
    assert fast.result_dict == slow.result_dict
    assert fast.csv_df.handles.handle.closed and slow.csv_df.handles.handle.closed  # both readers closed
    return fast_out


# --- generated files ------------------------------------------------------------

CLEAN_CELLS = ["P", "p", ".", "*", "#", "P", ".", "P", "."]
NUMBER_CELLS = ["", "0", "1", "7", "12", "0.5", "3.25", "007", "123456789012345", "1.00000000000001"]
WORD_CELLS = ["X", "-", "Pass", "e", "E", "nat", "P-"]
ODD_CELLS = [" P", "P ", "NA", "nan", "NaN", "None", "null", "TRUE", "false", "tRuE", "1e3", "+1", "-1", "-0",
             "inf", "Infinity", "1.", ".5", "1_0", "0x1", "é", '"P"', "1.#IND", "#N/A", "\tP", "n/a"]
LABELS = ["Pass", "Fail", "Vol-Freq", "Pass-Marginal", "Fail-Hole-Marginal", "Pass-Pass", "pass", "Vol-", "-",
          "P", "Hole", "Freq-Vol-Pass"]
ODD_LABELS = ["", "123", "1.5", "NaN", "True", ".", "#", '"Pass"', "Päss", "Pass Fail", "inf", "None"]


def record(rng, label, width, rows=11, cells=CLEAN_CELLS):
    lines = [label + "," * (width - 1)]
    for _ in range(rows):
        lines.append(",".join(rng.choice(cells) for _ in range(width)))
    return lines


def generate(seed):
    """A file of random records, clean or with one kind of damage."""
    rng = random.Random(seed)
    width = 11 if seed % 7 else 12
    kind = seed % 10
    lines = []
    for _ in range(rng.randint(1, 6)):
        label = rng.choice(LABELS)
        cells = CLEAN_CELLS + (NUMBER_CELLS if rng.random() < 0.3 else [])
        lines += record(rng, label, width, cells=cells)
    n = len(lines)
    at = rng.randrange(n)
    if kind == 1:  # a plot field float() refuses
        lines.insert(rng.randrange(n), ",".join(rng.choice(WORD_CELLS) for _ in range(width)))
    elif kind == 2:  # a field neither side may guess at
        line = lines[at].split(",")
        line[rng.randrange(width)] = rng.choice(ODD_CELLS)
        lines[at] = ",".join(line)
    elif kind == 3:  # odd label
        label_lines = list(range(0, n, 12))
        i = rng.choice(label_lines)
        lines[i] = rng.choice(ODD_LABELS) + "," * (width - 1)
    elif kind == 4:  # short last block
        lines = lines[: n - rng.randint(1, 11)]
    elif kind == 5:  # an over-long or a short line
        lines[at] = lines[at] + ("," if rng.random() < 0.5 else "")
        if rng.random() < 0.5:
            lines[at] = lines[at].rsplit(",", 2)[0]
    elif kind == 6:  # blank line(s)
        lines.insert(rng.randrange(1, n + 1), "")
    elif kind == 7:  # numbers in the label line's other fields, shifted records
        del lines[rng.randrange(1, n)]
    sep = "\r\n" if seed % 5 == 0 else "\n"
    text = sep.join(lines) + (sep if seed % 3 else "")
    return text, kind in (0, 8, 9)


@pytest.mark.parametrize("seed", range(120))
@pytest.mark.parametrize("classes", [(tavrine.CsvDataset, SlowTraining), (tavrine.CsvDataset_Test, SlowTest)],
                         ids=["training", "test"])
def test_generated_files_read_the_same(tmp_path, seed, classes):
    text, clean = generate(seed)
    path = tmp_path / "shm.csv"
    path.write_bytes(text.encode("utf-8"))
    fast_cls, slow_cls = classes
    clean_width = clean and text.split("\n", 1)[0].count(",") == 10
    assert_agree(path, fast_cls, slow_cls, expect_native=True if clean_width else None)


def write(path, lines, end="\n"):
    path.write_bytes((end.join(lines) + end).encode("utf-8"))
    return path


ROW = "P,.,*,#,p,P,P,.,.,*,#"
BLANK = "," * 10


@pytest.mark.parametrize(
    "lines, native_training, native_test",
    [
        ([f"Pass{BLANK}"] + [ROW] * 11, True, True),
        ([f"Pass{BLANK}"] + [ROW] * 11 + [f"Vol-{BLANK}"] + [ROW] * 11, True, True),
        ([f"Pass{BLANK}"] + [ROW] * 11 + [f"Vol{BLANK}"], True, True),  # label without a block
        ([f"Pass{BLANK}"] + [ROW] * 11 + [BLANK] + [ROW] * 11, True, False),  # empty label field
        ([f"Pass{BLANK}"] + [ROW] * 11 + [f"42{BLANK}"] + [ROW] * 11, True, False),  # numeric label
        ([f"Pass{BLANK}"] + [ROW] * 11 + [f"Fail{BLANK}"] + ["X" + ROW[1:]] + [ROW] * 10, True, True),
        ([f"Pass{BLANK}"] + ["1,2,3,4,5,6,7,8,9,10,11"] * 11, True, True),  # numbers only
        ([f"Pass{BLANK}"] + [BLANK] * 11, True, True),  # missing values only
        ([f"Pass{BLANK}"] + [ROW] * 11 + [f"Fail{BLANK}"] + [ROW] * 4, True, True),  # short last block
        ([f"Fail{BLANK}"] + [ROW] * 4, True, True),  # a short first and only block
        ([f"Pass{BLANK}"] + [ROW] * 10 + [f"Fail{BLANK}"] + [ROW] * 11, True, True),  # shifted records
        ([f"Pass{BLANK},"] + [ROW + ",P"] * 11, True, True),  # 12 columns
        ([f'"Pass"{BLANK}'] + [ROW] * 11, False, False),
        ([f"Pass{BLANK}"] + [ROW + ",P"] + [ROW] * 10, False, False),
        ([f"Pass{BLANK}"] + [ROW[:-2]] + [ROW] * 10, False, False),
        ([f"Pass{BLANK}"] + [ROW] * 5 + [""] + [ROW] * 6, False, False),
        ([f"Pass{BLANK}"] + [ROW.replace("*", "True")] * 11, False, False),
        ([f"Pass{BLANK}"] + [ROW.replace("*", "NA")] * 11, False, False),
        ([f"Pass{BLANK}"] + [ROW.replace("*", "1e2")] * 11, False, False),
        ([f"Pass{BLANK}"] + [ROW.replace("*", " P")] * 11, False, False),
        ([f"Päss{BLANK}"] + [ROW] * 11, False, False),
    ],
)
def test_chosen_files_read_the_same(tmp_path, lines, native_training, native_test):
    path = write(tmp_path / "shm.csv", lines)
    assert_agree(path, tavrine.CsvDataset, SlowTraining, expect_native=native_training)
    assert_agree(path, tavrine.CsvDataset_Test, SlowTest, expect_native=native_test)


@pytest.mark.parametrize("end", ["\r\n", "\n"])
def test_line_ends_and_missing_final_break(tmp_path, end):
    text = end.join([f"Pass{BLANK}"] + [ROW] * 11 + [f"Fail{BLANK}"] + [ROW] * 11)
    path = tmp_path / "shm.csv"
    path.write_bytes(text.encode())
    assert_agree(path, tavrine.CsvDataset, SlowTraining, expect_native=True)
    path.write_bytes(text.replace(end, "\r").encode())  # old Mac breaks: left to pandas
    assert_agree(path, tavrine.CsvDataset, SlowTraining, expect_native=False)


def test_raw_dict_keeps_the_last_block_per_label_in_first_read_order(tmp_path):
    lines = []
    for label, cell in [("Pass", "P"), ("Fail", "."), ("Pass", "1"), ("Vol", "#"), ("Fail", "0.5")]:
        lines += [label + BLANK] + [",".join([cell] * 11)] * 11
    path = write(tmp_path / "shm.csv", lines)
    assert_agree(path, tavrine.CsvDataset_Test, SlowTest, expect_native=True)
    dataset, _, _ = build(tavrine.CsvDataset_Test, path)
    assert list(dataset.raw_dict) == ["Pass", "Fail", "Vol"]
    assert dataset.raw_dict["Pass"][0][0] == 1 and type(dataset.raw_dict["Pass"][0][0]) is int
    assert dataset.raw_dict["Fail"][3][3] == 0.5


def test_bad_record_keeps_its_raw_dict_entry(tmp_path):
    lines = [f"Pass{BLANK}"] + [ROW] * 11 + [f"Vol{BLANK}"] + ["X,1,,P,.,*,#,p,2,3,4"] + [ROW] * 10
    path = write(tmp_path / "shm.csv", lines)
    out = assert_agree(path, tavrine.CsvDataset_Test, SlowTest, expect_native=True)
    assert out == "<class 'ValueError'>\nThe Training Data Set Count is:  1\n"
    dataset, _, _ = build(tavrine.CsvDataset_Test, path)
    first_row = dataset.raw_dict["Vol"][0]
    assert first_row[:2] == ["X", "1"] and math.isnan(first_row[2]) and first_row[3] == "P"
    assert len(dataset) == 1


# --- things the native loader must notice ------------------------------------------


@pytest.fixture
def clean_file(tmp_path):
    return write(tmp_path / "shm.csv", [f"Pass-Vol{BLANK}"] + [ROW] * 11 + [f"pass{BLANK}"] + [ROW] * 11)


def reference(path):
    dataset, error, out = build(SlowTraining, path)
    return dataset, out


def test_rebound_numpy_is_honoured(monkeypatch, clean_file):
    calls = []
    real = np.vstack

    def vstack(arrays):
        calls.append(len(arrays))
        return real(arrays)

    fake_np = types.SimpleNamespace(**{name: getattr(np, name) for name in ("zeros", "array", "size")})
    fake_np.vstack = vstack
    monkeypatch.setattr(tavrine, "np", fake_np)
    dataset, _, _ = build(tavrine.CsvDataset, clean_file)
    assert calls == [2, 2, 2, 2]
    assert rows_read(dataset) > 0


def test_patched_read_csv_is_honoured(monkeypatch, clean_file):
    seen = []
    real = pd.read_csv

    def read_csv(*args, **kwargs):
        seen.append(kwargs)
        return real(*args, **kwargs)

    monkeypatch.setattr(pd, "read_csv", read_csv)
    dataset, _, _ = build(tavrine.CsvDataset, clean_file)
    assert seen == [{"iterator": True, "header": None}]
    assert rows_read(dataset) > 0


def test_rebound_torch_float_is_honoured(monkeypatch, clean_file):
    monkeypatch.setattr(torch, "float", torch.float64)
    dataset, _, _ = build(tavrine.CsvDataset, clean_file)
    assert dataset.X_train.dtype == torch.float64


def test_overridden_convert_result_is_honoured(clean_file):
    class Loud(tavrine.CsvDataset):
        def convert_result(self, text):
            return [0.0, 0.0, 0.0, 0.0, 0.0, 1.0]

    dataset, _, out = build(Loud, clean_file)
    assert dataset.Y_train[1:].tolist() == [[0.0, 0.0, 0.0, 0.0, 0.0, 1.0]] * 2
    assert "Wrong Key" not in out


def test_rebound_print_receives_the_same_calls(monkeypatch, clean_file):
    for cls in (tavrine.CsvDataset, SlowTraining):
        calls = []
        monkeypatch.setattr(tavrine, "print", lambda *a: calls.append(a), raising=False)
        cls(str(clean_file))
        monkeypatch.delattr(tavrine, "print")
        assert calls == [
            ("Wrong Key Word Found in Training Data",),
            (StopIteration,),
            ("The Training Data Set Count is: ", 2),
        ]


def test_failing_print_ends_reading_at_that_record(monkeypatch, tmp_path):
    path = write(tmp_path / "shm.csv", [f"Pass{BLANK}"] + [ROW] * 11 + [f"pass{BLANK}"] + [ROW] * 11
                 + [f"Vol{BLANK}"] + [ROW] * 11)
    results = []
    for cls in (tavrine.CsvDataset, SlowTraining):
        calls = []

        def print_(*args):
            calls.append(args)
            if args == ("Wrong Key Word Found in Training Data",):
                raise LookupError("no")

        monkeypatch.setattr(tavrine, "print", print_, raising=False)
        dataset = cls(str(path))
        monkeypatch.delattr(tavrine, "print")
        results.append((calls, dataset.data_count, dataset.X_train.shape))
    assert results[0] == results[1]
    assert results[0][0][1:] == [(LookupError,), ("The Training Data Set Count is: ", 1)]


def test_default_device_elsewhere_is_honoured(monkeypatch, clean_file):
    torch.set_default_device("meta")
    try:
        dataset, _, _ = build(tavrine.CsvDataset, clean_file)
    finally:
        torch.set_default_device(None)
    assert dataset.X_train.device.type == "meta"
    assert rows_read(dataset) > 0


@pytest.mark.parametrize("suffix", [".csv.gz", ".csv.bz2", ".zip"])
def test_compressed_files_are_left_to_pandas(tmp_path, suffix):
    lines = [f"Pass{BLANK}"] + [ROW] * 11
    plain = write(tmp_path / "plain.csv", lines)
    frame = pd.read_csv(plain, header=None, keep_default_na=False)
    packed = tmp_path / ("shm" + suffix)
    frame.to_csv(packed, header=False, index=False)
    dataset, error, out = build(tavrine.CsvDataset, packed)
    assert error is None and dataset.data_count == 1
    assert dataset.X_train[1, 0, 0].tolist() == [1, 0, 1, 0, 1, 1, 1, 0, 0, 1, 0]


def test_home_relative_path_is_read_natively(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    write(tmp_path / "shm.csv", [f"Pass{BLANK}"] + [ROW] * 11)
    dataset, error, _ = build(tavrine.CsvDataset, "~/shm.csv")
    assert error is None and dataset.data_count == 1 and rows_read(dataset) == 0


def test_path_objects_and_buffers(tmp_path):
    path = write(tmp_path / "shm.csv", [f"Pass{BLANK}"] + [ROW] * 11)
    from_path = tavrine.CsvDataset(path)
    assert rows_read(from_path) == 0
    from_buffer = tavrine.CsvDataset(io.StringIO(path.read_text()))
    assert rows_read(from_buffer) > 0
    assert torch.equal(from_path.X_train, from_buffer.X_train)


# --- arbitrary files ------------------------------------------------------------------

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

ANY_CELL = st.one_of(
    st.sampled_from(CLEAN_CELLS),
    st.sampled_from(CLEAN_CELLS),
    st.sampled_from(NUMBER_CELLS + WORD_CELLS),
    st.sampled_from(ODD_CELLS),
)


@st.composite
def shmoo_files(draw):
    width = draw(st.sampled_from([11, 11, 11, 2, 12]))
    lines = []
    for _ in range(draw(st.integers(1, 4))):
        lines.append(draw(st.sampled_from(LABELS + LABELS + ODD_LABELS)) + "," * (width - 1))
        for _ in range(draw(st.sampled_from([11, 11, 11, 0, 5]))):
            lines.append(",".join(draw(st.lists(ANY_CELL, min_size=width, max_size=width))))
    end = draw(st.sampled_from(["\n", "\r\n"]))
    return end.join(lines) + draw(st.sampled_from([end, ""]))


@settings(max_examples=150, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(text=shmoo_files())
def test_arbitrary_files_read_the_same(tmp_path, text):
    path = tmp_path / "shm.csv"
    path.write_bytes(text.encode("utf-8"))
    assert_agree(path, tavrine.CsvDataset, SlowTraining)
    assert_agree(path, tavrine.CsvDataset_Test, SlowTest)


@pytest.mark.parametrize("cls", [tavrine.CsvDataset, SlowTraining])
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_errors_outside_exception_are_not_caught(monkeypatch, tmp_path, cls, error):
    path = write(tmp_path / "shm.csv", [f"Pass{BLANK}"] + [ROW] * 11 + [f"pass{BLANK}"] + [ROW] * 11)

    def print_(*args):
        if args == ("Wrong Key Word Found in Training Data",):
            raise error()

    monkeypatch.setattr(tavrine, "print", print_, raising=False)
    with pytest.raises(error):
        cls(str(path))
