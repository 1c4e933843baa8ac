"""Shmoo data of tavrine: conversions, the three datasets, the loaders, label
texts and the shmoo figure."""

import inspect
import math
import os
import struct
import sys
import types

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
import torch
from torch.utils import data

from quorvane.Source import tavrine

BLANK = "," * 10
ROW = "P,.,*,#,p,P,P,.,.,*,#"
ROW_VALUES = [1, 0, 1, 0, 1, 1, 1, 0, 0, 1, 0]
COUNT = "The Training Data Set Count is:  {}\n"
WRONG = "Wrong Key Word Found in Training Data\n"
INIT_DOC = (
    "\n        Args:\n            csv_file (string): Path to the csv file with annotations.\n"
    "            root_dir (string): Directory with all the images.\n"
    "            transform (callable, optional): Optional transform to be applied\n"
    "                on a sample.\n        "
)
LOADER_DOC = "Download the fashion mnist dataset and then load into memory."


def write(path, records, width=11):
    """records: (label, rows) pairs; each row a list or a comma-joined text."""
    lines = []
    for label, rows in records:
        lines.append(label + "," * (width - 1))
        lines += [r if isinstance(r, str) else ",".join(r) for r in rows]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def plain(n, label="Pass"):
    return [(label, [ROW] * 11) for _ in range(n)]


# --- names ----------------------------------------------------------------------

FUNCTIONS = {
    "load_data_fashion_mnist": (["batch_size", "resize", "root"], (None, "~/Datasets/FashionMNIST"), LOADER_DOC),
    "load_custom_shm_data": (["batch_size", "root"], ("~/Datasets/FashionMNIST",), LOADER_DOC),
    "get_fashion_mnist_labels": (["labels"], None, None),
    "get_custom_shm_labels": (["labels", "type"], None, None),
    "show_shm_fig": (["images", "labels"], None, None),
}

CLASSES = {
    "CsvDataset": {
        "__init__": (["self", "csv_file"], None, INIT_DOC),
        "__len__": (["self"], None, None),
        "__getitem__": (["self", "idx"], None, None),
        "convert_SHM_data": (["self", "tmp_np"], None, None),
        "convert_result": (["self", "text"], None, None),
    },
    "CsvDataset_Test": {
        "__init__": (["self", "csv_file", "mode"], ("training",), INIT_DOC),
        "__len__": (["self"], None, None),
        "__getitem__": (["self", "idx"], None, None),
        "convert_SHM_data": (["self", "tmp_np"], None, None),
    },
    "CsvDataset_Test_Serial": {
        "__init__": (["self", "shmoo_body", "shmoo_title"], None, INIT_DOC),
        "__len__": (["self"], None, None),
        "__getitem__": (["self", "idx"], None, None),
        "convert_SHM_data": (["self", "tmp_np"], None, None),
    },
}


def check_function(fn, qualname, params, defaults, doc):
    assert fn.__module__ == "quorvane.Source.tavrine"
    assert fn.__qualname__ == qualname
    assert fn.__doc__ == doc
    assert fn.__defaults__ == defaults
    signature = inspect.signature(fn)
    assert list(signature.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity(name):
    check_function(getattr(tavrine, name), name, *FUNCTIONS[name])


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(tavrine, name)
    assert cls.__bases__ == (data.Dataset,)
    assert cls.__module__ == "quorvane.Source.tavrine" and cls.__qualname__ == name
    assert cls.__doc__ is None
    methods = [k for k in vars(cls) if not k.startswith("__") or k in ("__init__", "__len__", "__getitem__")]
    assert methods == list(CLASSES[name])
    for method, expected in CLASSES[name].items():
        check_function(vars(cls)[method], f"{name}.{method}", *expected)


def test_argument_errors_use_the_interpreter_wording(tmp_path):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 2 positional arguments \(1 given\)$"):
        tavrine.CsvDataset_Test()
    with pytest.raises(TypeError, match=r"^get_custom_shm_labels\(\) got an unexpected keyword argument 'kind'$"):
        tavrine.get_custom_shm_labels([], "T", kind="x")


# --- conversions ------------------------------------------------------------------


@pytest.fixture
def training(tmp_path):
    return tavrine.CsvDataset(write(tmp_path / "one.csv", plain(1)))


def test_point_symbols_convert_in_place(training):
    cells = np.array([ROW.split(","), ["1", np.nan, "0.5", "P", ".", "*", "#", "p", "P", "7", "#"]], dtype=object)
    result = training.convert_SHM_data(cells)
    assert result is not cells and result.dtype == np.float64
    assert result[0].tolist() == ROW_VALUES
    assert result[1, 0] == 1.0 and math.isnan(result[1, 1]) and result[1, 2] == 0.5 and result[1, 9] == 7.0
    assert cells[0].tolist() == [float(v) for v in ROW_VALUES]  # written into the array passed in
    assert cells[1, 0] == "1" and math.isnan(cells[1, 1])


@pytest.mark.parametrize("cell", [" P", "X", "P ", "pp"])
def test_unknown_point_symbols_fail(training, cell):
    with pytest.raises(ValueError):
        training.convert_SHM_data(np.array([["P", cell]], dtype=object))


@pytest.mark.parametrize(
    "text, vector, wrong",
    [
        ("Pass", [0, 1, 0, 0, 0, 0], 0),
        ("Vol-Freq", [0, 0, 1, 1, 0, 0], 0),
        ("Fail-Hole-Marginal", [1, 0, 0, 0, 1, 1], 0),
        ("Pass-Pass", [0, 1, 0, 0, 0, 0], 0),
        ("pass", [0, 0, 0, 0, 0, 0], 1),
        ("Vol-", [0, 0, 1, 0, 0, 0], 1),
        ("-", [0, 0, 0, 0, 0, 0], 2),
        ("Pass-x-y", [0, 1, 0, 0, 0, 0], 2),
    ],
)
def test_label_texts(training, capsys, text, vector, wrong):
    capsys.readouterr()
    result = training.convert_result(text)
    assert result == [float(v) for v in vector] and all(type(v) is float for v in result)
    assert capsys.readouterr().out == WRONG * wrong


@pytest.mark.parametrize("text", [float("nan"), 12, None])
def test_label_that_is_not_text(training, text):
    with pytest.raises(AttributeError):
        training.convert_result(text)


def test_label_vocabulary_is_read_at_call_time(training):
    assert list(training.result_dict.items()) == [
        ("Fail", 0), ("Pass", 1), ("Vol", 2), ("Freq", 3), ("Marginal", 4), ("Hole", 5)]
    training.result_dict["Spin"] = 5
    assert training.convert_result("Spin") == [0.0, 0.0, 0.0, 0.0, 0.0, 1.0]


# --- CsvDataset ---------------------------------------------------------------------


def test_three_valid_records(tmp_path, capsys):
    path = write(tmp_path / "s.csv", [("Pass", [ROW] * 11), ("Vol-Freq", [ROW] * 11),
                                      ("Fail-Hole", [ROW.replace("P", ".")] * 11)])
    dataset = tavrine.CsvDataset(path)
    assert capsys.readouterr().out == "<class 'StopIteration'>\n" + COUNT.format(3)
    assert dataset.data_count == 3 and len(dataset) == 4
    assert dataset.X_train.shape == (4, 1, 11, 11) and dataset.X_train.dtype == torch.float32
    assert dataset.Y_train.shape == (4, 6) and dataset.Y_train.dtype == torch.float32
    plot, label = dataset[0]
    assert torch.equal(plot, torch.zeros(1, 11, 11)) and label.tolist() == [1, 0, 0, 0, 0, 0]
    assert dataset.X_train[1, 0, 3].tolist() == ROW_VALUES
    assert dataset.Y_train.tolist()[1:] == [[0, 1, 0, 0, 0, 0], [0, 0, 1, 1, 0, 0], [1, 0, 0, 0, 0, 1]]
    assert dataset.X_train[3, 0, 0, 0] == 0.0
    assert set(vars(dataset)) == {"data_count", "result_dict", "csv_df", "X_train", "Y_train"}
    assert isinstance(dataset.csv_df, pd.io.parsers.TextFileReader)
    first, second = dataset[-1], dataset[1:3]
    assert first[1].tolist() == [1, 0, 0, 0, 0, 1] and second[0].shape == (2, 1, 11, 11)


@pytest.mark.parametrize(
    "records, count, ended, wrong",
    [
        ([("Pass", [ROW] * 11), ("pass", [ROW] * 11), ("Vol", [ROW] * 11)], 3, "StopIteration", 1),
        ([("Pass", [ROW] * 11), ("Fail", [ROW] * 11), ("Vol", ["X" + ROW[1:]] + [ROW] * 10),
          ("Pass", [ROW] * 11)], 2, "ValueError", 0),
        ([("Pass", [ROW] * 11), ("Fail", [ROW] * 5)], 1, "ValueError", 0),
        ([("Pass", [ROW] * 11), ("", [ROW] * 11)], 1, "AttributeError", 0),
        ([("Pass", [ROW] * 11), ("Vol-x", [ROW] * 11), ("Hole", [])], 2, "StopIteration", 1),
    ],
    ids=["lower-case", "bad-symbol", "short-block", "empty-label", "label-only"],
)
def test_bad_records_end_reading(tmp_path, capsys, records, count, ended, wrong):
    dataset = tavrine.CsvDataset(write(tmp_path / "s.csv", records))
    assert capsys.readouterr().out == WRONG * wrong + f"<class '{ended}'>\n" + COUNT.format(count)
    assert dataset.data_count == count and len(dataset) == count + 1
    for i in range(len(dataset)):
        assert dataset[i][0].shape == (1, 11, 11)


def test_lower_case_record_is_kept_with_zero_labels(tmp_path):
    dataset = tavrine.CsvDataset(write(tmp_path / "s.csv", [("Pass", [ROW] * 11), ("pass", [ROW] * 11)]))
    assert dataset.Y_train[2].tolist() == [0.0] * 6


def test_over_long_line_ends_with_the_parser_error(tmp_path, capsys):
    path = tmp_path / "s.csv"
    path.write_text("\n".join([f"Pass{BLANK}"] + [ROW] * 11 + [f"Fail{BLANK}", ROW + ",P"] + [ROW] * 10) + "\n")
    dataset = tavrine.CsvDataset(str(path))
    assert capsys.readouterr().out == "<class 'pandas.errors.ParserError'>\n" + COUNT.format(1)
    assert len(dataset) == 2


def test_twelve_columns(tmp_path, capsys):
    path = write(tmp_path / "s.csv", [("Pass", [ROW + ",P"] * 11), ("Fail", [ROW + ",."] * 11)], width=12)
    with pytest.raises(IndexError):
        tavrine.CsvDataset(path)
    assert capsys.readouterr().out == "<class 'ValueError'>\n" + COUNT.format(0)
    dataset = tavrine.CsvDataset_Test(path)
    assert dataset.X_train.shape == (2, 1, 11, 12)
    assert dataset.X_train[1, 0, 0].tolist() == ROW_VALUES + [0]


@pytest.mark.parametrize("cls", [tavrine.CsvDataset, tavrine.CsvDataset_Test])
def test_reader_errors_surface_unchanged(tmp_path, capsys, cls):
    with pytest.raises(FileNotFoundError):
        cls(str(tmp_path / "missing.csv"))
    (tmp_path / "empty.csv").write_text("")
    with pytest.raises(pd.errors.EmptyDataError):
        cls(str(tmp_path / "empty.csv"))
    assert capsys.readouterr().out == ""


# --- CsvDataset_Test ----------------------------------------------------------------


def test_test_dataset_keeps_label_texts(tmp_path, capsys):
    records = [("Pass", [ROW] * 11), ("Vol-Freq", [ROW.replace("*", "1")] * 11), ("Fail", [ROW] * 11),
               ("Pass", [ROW.replace("P", ".")] * 11)]
    dataset = tavrine.CsvDataset_Test(write(tmp_path / "s.csv", records), "anything")
    assert capsys.readouterr().out == "<class 'StopIteration'>\n" + COUNT.format(4)
    assert len(dataset) == 4 and dataset.data_count == 4
    assert dataset.Y_train == [["Pass"], ["Vol-Freq"], ["Fail"], ["Pass"]]
    plot, label = dataset[0]
    assert plot.shape == (1, 11, 11) and plot[0, 0].tolist() == ROW_VALUES and label == ["Pass"]
    assert list(dataset.raw_dict) == ["Pass", "Vol-Freq", "Fail"]
    assert dataset.raw_dict["Pass"][0] == ROW.replace("P", ".").split(",")  # the last one read
    assert dataset.raw_dict["Vol-Freq"][0][:3] == ["P", ".", 1]  # a column of numbers reads as int64
    assert set(vars(dataset)) == {"data_count", "raw_dict", "result_dict", "csv_df", "X_train", "Y_train"}


def test_test_dataset_bad_record_and_empty_result(tmp_path, capsys):
    path = write(tmp_path / "s.csv", [("Pass", ["X" + ROW[1:]] + [ROW] * 10)])
    dataset = tavrine.CsvDataset_Test(path)
    assert capsys.readouterr().out == "<class 'ValueError'>\n" + COUNT.format(0)
    assert len(dataset) == 0 and dataset.X_train.shape[0] == 0
    assert dataset.raw_dict["Pass"][0][0] == "X"


def test_test_dataset_first_record_sets_the_shape(tmp_path):
    dataset = tavrine.CsvDataset_Test(write(tmp_path / "s.csv", [("Pass", [ROW] * 5)]))
    assert dataset.X_train.shape == (1, 1, 5, 11)


# --- CsvDataset_Test_Serial ---------------------------------------------------------


def test_serial_over_nested_list():
    body = [["P", ".", "*", "#", "p", "P", "."] for _ in range(9)]
    body = [row[:] + ["P", "."] for row in body][:7]
    before = [row[:] for row in body]
    dataset = tavrine.CsvDataset_Test_Serial(body, "Pass-Vol")
    assert len(dataset) == 1 and dataset.X_train.shape == (1, 1, 7, 9)
    assert dataset.X_train.dtype == torch.float32
    plot, title = dataset[0]
    assert plot[0, 0].tolist() == [1, 0, 1, 0, 1, 1, 0, 1, 0] and title == "Pass-Vol"
    assert body == before and dataset.raw_dict["Pass-Vol"] is body
    assert dataset.Y_train == ["Pass-Vol"]
    assert set(vars(dataset)) == {"raw_dict", "result_dict", "X_train", "Y_train"}


def test_serial_leaves_the_callers_array_alone():
    body = np.array([["P", "."], ["#", "*"], ["p", "1"]], dtype=object)
    dataset = tavrine.CsvDataset_Test_Serial(body, "t")
    assert body.tolist() == [["P", "."], ["#", "*"], ["p", "1"]]
    assert dataset.raw_dict["t"] is body
    assert dataset.X_train.tolist() == [[[[1, 0], [0, 1], [1, 1]]]]


@pytest.mark.parametrize("body, error", [([["P", "X"]], ValueError), ([["P", "."], ["P"]], ValueError),
                                         (["P", "."], ValueError)])
def test_serial_errors_propagate(body, error, capsys):
    with pytest.raises(error):
        tavrine.CsvDataset_Test_Serial(body, "t")
    assert capsys.readouterr().out == ""


def test_datasets_work_with_the_library_loader(tmp_path):
    dataset = tavrine.CsvDataset(write(tmp_path / "s.csv", plain(7)))
    batches = list(data.DataLoader(dataset, batch_size=3))
    assert [b[0].shape[0] for b in batches] == [3, 3, 2]
    assert batches[0][1].shape == (3, 6)


# --- loaders ------------------------------------------------------------------------


def generated(path, n):
    rng = np.random.default_rng(n)
    symbols = np.array(list("P.*#p"))
    lines = []
    for _ in range(n):
        lines.append("Pass-Vol" + BLANK)
        lines += [",".join(rng.choice(symbols, 11)) for _ in range(11)]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def spy_split(monkeypatch):
    lengths = []
    real = data.random_split

    def random_split(dataset, split):
        lengths.append(tuple(split))
        return real(dataset, split)

    monkeypatch.setattr(tavrine, "data", types.SimpleNamespace(random_split=random_split, Dataset=data.Dataset))
    return lengths


def test_shmoo_loaders_split(tmp_path, capsys, monkeypatch):
    lengths = spy_split(monkeypatch)
    train_iter, test_iter = tavrine.load_custom_shm_data(16, generated(tmp_path / "s.csv", 1099))
    assert capsys.readouterr().out == "<class 'StopIteration'>\n" + COUNT.format(1099)
    assert lengths == [(1000, 100)]
    assert (len(train_iter.dataset), len(test_iter.dataset)) == (1000, 100)
    for loader in (train_iter, test_iter):
        assert isinstance(loader, data.DataLoader)
        assert isinstance(loader.sampler, data.RandomSampler)
        assert loader.batch_size == 16 and loader.num_workers == 0
        assert isinstance(loader.dataset.dataset, tavrine.CsvDataset)
    assert sorted(train_iter.dataset.indices + test_iter.dataset.indices) == list(range(1100))
    torch.manual_seed(3)
    first = list(tavrine.load_custom_shm_data(16, generated(tmp_path / "s.csv", 1099))[1].dataset.indices)
    torch.manual_seed(3)
    again = list(tavrine.load_custom_shm_data(16, generated(tmp_path / "s.csv", 1099))[1].dataset.indices)
    assert first == again  # the split draws from the library's global generator


def test_shmoo_loaders_with_exactly_one_hundred_samples(tmp_path, monkeypatch):
    # The split is 0/100; the library's shuffling sampler then refuses the
    # empty training part, and that error reaches the caller unchanged.
    lengths = spy_split(monkeypatch)
    with pytest.raises(ValueError, match="num_samples should be a positive integer value"):
        tavrine.load_custom_shm_data(16, generated(tmp_path / "s.csv", 99))
    assert lengths == [(0, 100)]


def test_shmoo_loaders_with_too_few_samples(tmp_path):
    with pytest.raises(ValueError):
        tavrine.load_custom_shm_data(4, generated(tmp_path / "s.csv", 10))


def idx_files(root, count):
    raw = root / "FashionMNIST" / "raw"
    raw.mkdir(parents=True)
    for prefix in ("train", "t10k"):
        images = bytes((i * 7 + j) % 256 for i in range(count) for j in range(28 * 28))
        (raw / f"{prefix}-images-idx3-ubyte").write_bytes(struct.pack(">IIII", 0x803, count, 28, 28) + images)
        labels = bytes(i % 10 for i in range(count))
        (raw / f"{prefix}-labels-idx1-ubyte").write_bytes(struct.pack(">II", 0x801, count) + labels)


@pytest.mark.parametrize("resize, size", [(None, 28), (0, 28), (14, 14)])
def test_fashion_mnist_from_local_files(tmp_path, resize, size):
    idx_files(tmp_path, 6)
    train_iter, test_iter = tavrine.load_data_fashion_mnist(3, resize, str(tmp_path))
    workers = 0 if sys.platform.startswith("win") else 4
    assert isinstance(train_iter.sampler, data.RandomSampler)
    assert isinstance(test_iter.sampler, data.SequentialSampler)
    for loader, train in ((train_iter, True), (test_iter, False)):
        assert loader.batch_size == 3 and loader.num_workers == workers
        assert loader.dataset.train is train and len(loader.dataset) == 6
    steps = [type(t).__name__ for t in train_iter.dataset.transform.transforms]
    assert steps == (["Resize", "ToTensor"] if resize else ["ToTensor"])
    image, label = test_iter.dataset[1]
    assert image.shape == (1, size, size) and label == 1


@pytest.mark.parametrize("platform, workers", [("win32", 0), ("linux", 4), ("darwin", 4)])
def test_fashion_mnist_workers_by_platform(tmp_path, monkeypatch, platform, workers):
    idx_files(tmp_path, 2)
    monkeypatch.setattr(tavrine, "sys", types.SimpleNamespace(platform=platform))
    train_iter, test_iter = tavrine.load_data_fashion_mnist(batch_size=2, root=str(tmp_path))
    assert train_iter.num_workers == test_iter.num_workers == workers


# --- label texts --------------------------------------------------------------------


@pytest.mark.parametrize(
    "labels, texts",
    [
        ([[0, 1, 0, 0, 1, 0]], ["T: -Pass-Marginal"]),
        ([[1, 0, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0]], ["T: -Fail", "T: "]),
        ([[0.99, 2.0, 1.0]], ["T: -Vol"]),
        ([[1, 1], [0, 0, 0, 0, 0, 1, 0]], ["T: -Fail-Pass", "T: -Hole"]),
        ([], []),
    ],
)
def test_custom_labels(labels, texts):
    assert tavrine.get_custom_shm_labels(labels, "T") == texts
    if labels and len({len(r) for r in labels}) == 1:
        assert tavrine.get_custom_shm_labels(torch.tensor(labels), type="T") == texts


def test_custom_label_errors():
    with pytest.raises(TypeError):
        tavrine.get_custom_shm_labels([[1, 0]], 3)
    with pytest.raises(IndexError):
        tavrine.get_custom_shm_labels([[0, 0, 0, 0, 0, 0, 1.0]], "T")


def test_fashion_labels():
    assert tavrine.get_fashion_mnist_labels([0, 9, 3.0]) == ["t-shirt", "ankle boot", "dress"]
    assert tavrine.get_fashion_mnist_labels(torch.tensor([1, 2, -1])) == ["trouser", "pullover", "ankle boot"]
    assert tavrine.get_fashion_mnist_labels(range(4, 9)) == ["coat", "sandal", "shirt", "sneaker", "bag"]
    with pytest.raises(IndexError):
        tavrine.get_fashion_mnist_labels([10])


# --- figure -----------------------------------------------------------------------


@pytest.fixture
def shown(monkeypatch):
    figures = []
    monkeypatch.setattr(plt, "show", lambda: figures.append(plt.gcf()))
    yield figures
    plt.close("all")


@pytest.mark.parametrize("count, titles, grid, drawn", [(20, 20, (5, 4), 20), (23, 23, (5, 4), 20),
                                                         (10, 7, (5, 2), 7)])
def test_shmoo_figure(shown, count, titles, grid, drawn):
    assert matplotlib.get_backend().lower() == "agg"
    images = torch.rand(count, 1, 11, 11)
    labels = [f"shmoo {i}" for i in range(titles)]
    assert tavrine.show_shm_fig(images, labels) is None
    (figure,) = shown
    axes = figure.axes
    assert len(axes) == grid[0] * grid[1]
    assert tuple(figure.get_size_inches()) == (12, 8)
    assert axes[1].get_subplotspec().colspan.start == 1  # row by row
    for i, ax in enumerate(axes):
        assert len(ax.images) == (1 if i < drawn else 0)
        assert ax.get_title() == (labels[i] if i < drawn else "")
        assert ax.get_xaxis().get_visible() is (i >= drawn)
        assert ax.get_yaxis().get_visible() is (i >= drawn)
    assert axes[0].images[0].get_cmap().name == "RdYlGn"
    assert np.allclose(axes[0].images[0].get_array(), images[0, 0].numpy())


def test_shmoo_figure_from_a_test_dataset(shown, tmp_path):
    dataset = tavrine.CsvDataset_Test(write(tmp_path / "s.csv", plain(5)))
    tavrine.show_shm_fig(dataset.X_train, [t[0] for t in dataset.Y_train])
    assert [ax.get_title() for ax in shown[0].axes] == ["Pass"] * 5


def test_shmoo_figure_needs_five_images(shown):
    with pytest.raises(ValueError):
        tavrine.show_shm_fig(torch.zeros(4, 1, 11, 11), ["a"] * 4)
    with pytest.raises(RuntimeError):
        tavrine.show_shm_fig(torch.zeros(5, 2, 11, 11), ["a"] * 5)
