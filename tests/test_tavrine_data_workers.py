"""The datasets in a loader's worker processes: they pickle with their tensors
and labels, and every start method yields the batches of in-process loading."""

import multiprocessing
import pickle

import numpy as np
import pytest
import torch
from torch.utils import data

from quorvane import samples
from quorvane.Source import tavrine


@pytest.fixture(scope="module")
def csv_path(tmp_path_factory):
    return str(samples.write_shmoo_csv(tmp_path_factory.mktemp("workers") / "plots.csv", count=14, seed=3))


def datasets(csv_path):
    plot = [["P", ".", "P"], [".", "P", "P"], ["P", "P", "."]]
    return {
        "CsvDataset": tavrine.CsvDataset(csv_path),
        "CsvDataset_Test": tavrine.CsvDataset_Test(csv_path),
        "CsvDataset_Test_Serial": tavrine.CsvDataset_Test_Serial(np.array(plot, dtype=object), "Pass"),
    }


def same(a, b):
    if isinstance(a, torch.Tensor):
        return isinstance(b, torch.Tensor) and a.dtype == b.dtype and torch.equal(a, b)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b)
    return a == b


def test_datasets_pickle_with_tensors_and_labels_and_no_reader(csv_path, capsys):
    for name, dataset in datasets(csv_path).items():
        reader = vars(dataset).get("csv_df")
        for protocol in (2, pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL):
            copy = pickle.loads(pickle.dumps(dataset, protocol))
            assert type(copy) is type(dataset), name
            assert set(vars(copy)) == set(vars(dataset)), name
            for key, value in vars(dataset).items():
                if key == "csv_df":
                    assert copy.csv_df is None, name
                else:
                    assert same(getattr(copy, key), value), (name, key)
            assert len(copy) == len(dataset) and same(copy[0], dataset[0]), name
        # Pickling leaves the original alone.
        assert vars(dataset).get("csv_df") is reader, name
    capsys.readouterr()


def batches(dataset, **options):
    loader = data.DataLoader(dataset, batch_size=4, shuffle=False, **options)
    return list(loader)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_two_worker_loader_gives_the_in_process_batches(csv_path, method, capsys):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"start method {method} not available here")
    context = multiprocessing.get_context(method)
    for name in ("CsvDataset", "CsvDataset_Test"):
        dataset = datasets(csv_path)[name]
        expected = batches(dataset)
        got = batches(dataset, num_workers=2, multiprocessing_context=context)
        assert len(got) == len(expected) == 4, name
        assert same(got, expected), (name, method)
    capsys.readouterr()
