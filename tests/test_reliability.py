"""Bad inputs to the model module's file readers, and calls from several
threads at once: every bad input ends in a Python exception (or the quiet end
of reading that the datasets promise), never in a crash."""

import os
import threading

import numpy as np
import pandas as pd
import pytest
import torch

from quorvane.Source import tavrine

BLANK = "," * 10
ROW = "P,.,*,#,p,P,P,.,.,*,#"


def records(*labels, row=ROW):
    return "".join(f"{label}{BLANK}\n" + f"{row}\n" * 11 for label in labels)


class Slow(tavrine.CsvDataset):
    def convert_SHM_data(self, tmp_np):
        return super().convert_SHM_data(tmp_np)


def file_with(path, content):
    path.write_bytes(content)
    return path


READERS = [tavrine.CsvDataset, Slow, tavrine.CsvDataset_Test]


@pytest.mark.parametrize("cls", READERS)
@pytest.mark.parametrize("make, error", [
    (lambda d: d / "missing.csv", FileNotFoundError),
    (lambda d: d, IsADirectoryError),  # a directory: open() refuses it for root too
    (lambda d: file_with(d / "empty.csv", b""), pd.errors.EmptyDataError),
    (lambda d: file_with(d / "blank.csv", b"\n\r\n\n"), pd.errors.EmptyDataError),
    (lambda d: 12345, ValueError),  # not a path at all
])
def test_unusable_files_raise_the_readers_error_and_print_nothing(tmp_path, capsys, cls, make, error):
    with pytest.raises(error):
        cls(make(tmp_path))
    assert capsys.readouterr().out == ""


def test_shmoo_loaders_pass_reader_errors_on(tmp_path):
    with pytest.raises(FileNotFoundError):
        tavrine.load_custom_shm_data(4, str(tmp_path / "missing.csv"))


@pytest.mark.parametrize("content", [
    bytes(range(256)) * 16,
    b"\x00" * 4096,
    records("Pass").encode() + b"\xff\xfe\x00garbage\n",
    records("Pass").encode("utf-16"),
    b"\x89PNG\r\n\x1a\n" + bytes(200),
])
def test_binary_files_end_in_an_exception_not_a_crash(tmp_path, capsys, content):
    path = tmp_path / "binary.csv"
    path.write_bytes(content)
    outcomes = []
    for cls in (tavrine.CsvDataset, Slow):
        try:
            dataset = cls(str(path))
            outcomes.append(("stored", dataset.data_count))
        except Exception as e:  # which one depends on pandas; both paths must agree
            outcomes.append(("raised", type(e)))
        out = capsys.readouterr().out
        if out:  # reading began: it ended at an exception and reported the count
            *_, ended, count = out.splitlines()
            assert ended.startswith("<class '") and count.startswith("The Training Data Set Count is:  ")
        outcomes.append(out)
    assert outcomes[:2] == outcomes[2:]


def test_non_utf8_label_ends_reading_after_the_good_records(tmp_path, capsys):
    path = tmp_path / "latin.csv"
    path.write_bytes(records("Pass", "Fail").encode() + records("Pässe").encode("latin-1"))
    dataset = tavrine.CsvDataset(str(path))
    assert dataset.data_count == 2 and len(dataset) == 3
    assert capsys.readouterr().out == "<class 'UnicodeDecodeError'>\nThe Training Data Set Count is:  2\n"


def test_huge_line_is_read_by_the_parser_not_a_fixed_buffer(tmp_path, capsys):
    path = tmp_path / "huge.csv"
    label = "Pass-" + "Vol-" * 200_000 + "Hole"
    path.write_text(f"{label}{BLANK}\n" + f"{ROW}\n" * 11)
    for cls in (tavrine.CsvDataset, Slow):
        dataset = cls(str(path))
        assert dataset.Y_train[1].tolist() == [0, 1, 1, 0, 0, 1]
    assert capsys.readouterr().out.count("Wrong Key") == 0


@pytest.mark.parametrize("body, error", [
    (None, np.exceptions.AxisError),  # a 0-d array: it has no axis 0 to measure
    ([["P", "X"]], ValueError),
    ([["P"], ["P", "."]], ValueError),  # ragged rows
    ("P.", Exception),
])
def test_serial_dataset_bad_bodies_raise(body, error):
    with pytest.raises(error):
        tavrine.CsvDataset_Test_Serial(body, "t")


# --- threads -------------------------------------------------------------------


def run_threads(target, count):
    errors = []
    barrier = threading.Barrier(count)

    def wrapped(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # reported below, on the test's thread
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def test_datasets_from_many_threads_match_one_thread(tmp_path, monkeypatch):
    # The native scan runs without the interpreter lock: threads must not see
    # one another's files, counts or printed lines.
    paths, expected = [], []
    for i in range(6):
        labels = ["Pass", "Fail-Hole", "Vol-Freq", "pass"][: 1 + i % 4]
        row = ",".join(["P", ".", "1", "#"][(i + j) % 4] for j in range(11))
        path = tmp_path / f"s{i}.csv"
        path.write_text(records(*labels, row=row))
        paths.append(str(path))
    printed = []
    lock = threading.Lock()

    def record(*args):
        with lock:
            printed.append((threading.get_ident(), args))

    monkeypatch.setattr(tavrine, "print", record, raising=False)
    for path in paths:
        for cls in (tavrine.CsvDataset, tavrine.CsvDataset_Test):
            d = Slow(path) if cls is tavrine.CsvDataset else cls(path)
            expected.append((d.data_count, d.X_train.clone(), d.Y_train))
    reference_lines = [args for _, args in printed]
    printed.clear()

    results = {}

    def work(i):
        for round_ in range(15):
            got = []
            for path in paths:
                for cls in (tavrine.CsvDataset, tavrine.CsvDataset_Test):
                    d = cls(path)
                    got.append((d.data_count, d.X_train, d.Y_train))
            results[(i, round_)] = got

    run_threads(work, 4)
    assert len(results) == 60
    for got in results.values():
        for (count, x, y), (e_count, e_x, e_y) in zip(got, expected):
            assert count == e_count and torch.equal(x, e_x)
            assert torch.equal(y, e_y) if isinstance(y, torch.Tensor) else y == e_y
    by_thread = {}
    for ident, args in printed:
        by_thread.setdefault(ident, []).append(args)
    assert len(by_thread) == 4
    for lines in by_thread.values():
        assert lines == reference_lines * 15


def test_compute_functions_from_many_threads(tmp_path):
    X = torch.arange(49.0).reshape(7, 7)
    K = torch.tensor([[1.0, 0.5], [-1.0, 2.0]])
    scores = torch.randn(64, 6)
    want_corr = tavrine.corr2d(X, K)
    want_pool = tavrine.pool2d(X, (2, 3), "avg")
    want_reformat = tavrine.reformat_output(scores.clone())
    body = np.array([list("P.*#p")] * 3, dtype=object)
    want_serial = tavrine.CsvDataset_Test_Serial(body.copy(), "t").X_train

    def work(i):
        for _ in range(40):
            assert torch.equal(tavrine.corr2d(X, K), want_corr)
            assert torch.equal(tavrine.pool2d(X, (2, 3), "avg"), want_pool)
            assert torch.equal(tavrine.reformat_output(scores.clone()), want_reformat)
            assert torch.equal(tavrine.CsvDataset_Test_Serial(body.copy(), "t").X_train, want_serial)
            assert tavrine.get_custom_shm_labels([[0, 1, 0, 0, 1, 0]], "T") == ["T: -Pass-Marginal"]
            with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
                tavrine.corr2d(X)

    run_threads(work, 4)


def test_file_replaced_while_threads_read_it(tmp_path):
    # Writers swap the file under readers (atomically, by rename): each read
    # sees one whole version, never a mixture.
    path = tmp_path / "shared.csv"
    versions = [records("Pass", row=ROW), records("Fail", "Vol", row=ROW.replace("P", "1"))]
    path.write_text(versions[0])
    expected = {}
    for text in versions:
        path.write_text(text)
        d = Slow(str(path))
        expected[d.data_count] = (d.X_train.clone(), d.Y_train.clone())
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            tmp = tmp_path / f"next{i % 2}.csv"
            tmp.write_text(versions[i % 2])
            os.replace(tmp, path)
            i += 1

    writing = threading.Thread(target=writer)
    writing.start()
    try:
        def read(i):
            for _ in range(60):
                d = tavrine.CsvDataset(str(path))
                x, y = expected[d.data_count]
                assert torch.equal(d.X_train, x) and torch.equal(d.Y_train, y)

        run_threads(read, 3)
    finally:
        stop.set()
        writing.join()
