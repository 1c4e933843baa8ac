"""The model module's namespace: names, order, bound libraries, `device`, docstrings."""
import inspect

import pytest

import quorvane.Source.tavrine as tavrine

LIBRARY_NAMES = ["sys", "math", "torch", "nn", "torchvision", "plt", "pd", "np", "data", "F", "device"]
REGISTERED = [
    "load_data_fashion_mnist", "load_custom_shm_data", "FlattenLayer", "evaluate_accuracy", "sgd",
    "train_network", "reformat_output", "adjust_learning_rate", "get_fashion_mnist_labels",
    "get_custom_shm_labels", "show_shm_fig", "CsvDataset", "CsvDataset_Test", "CsvDataset_Test_Serial",
    "corr2d", "pool2d", "Conv2D", "LeNet", "nin_block", "Inception", "AlexNet",
]
CLASSES = {
    "FlattenLayer": ["__init__", "forward"],
    "CsvDataset": ["__init__", "__len__", "__getitem__", "convert_SHM_data", "convert_result"],
    "CsvDataset_Test": ["__init__", "__len__", "__getitem__", "convert_SHM_data"],
    "CsvDataset_Test_Serial": ["__init__", "__len__", "__getitem__", "convert_SHM_data"],
    "Conv2D": ["__init__", "forward"],
    "LeNet": ["__init__", "forward"],
    "Inception": ["__init__", "forward"],
    "AlexNet": ["__init__", "forward", "spatial_pyramid_pool"],
}
INIT_DOC = ("\n        Args:\n            csv_file (string): Path to the csv file with annotations.\n"
            "            root_dir (string): Directory with all the images.\n"
            "            transform (callable, optional): Optional transform to be applied\n"
            "                on a sample.\n        ")


def test_names_are_bound_in_order():
    public = [name for name in vars(tavrine) if not name.startswith("__")]
    assert public == LIBRARY_NAMES + REGISTERED


def test_library_names_are_the_libraries():
    import sys, math, torch, torchvision, numpy, pandas, matplotlib.pyplot
    import torch.nn.functional
    import torch.utils.data

    assert tavrine.sys is sys and tavrine.math is math and tavrine.torch is torch
    assert tavrine.nn is torch.nn and tavrine.torchvision is torchvision
    assert tavrine.plt is matplotlib.pyplot and tavrine.pd is pandas and tavrine.np is numpy
    assert tavrine.data is torch.utils.data and tavrine.F is torch.nn.functional
    assert tavrine.__doc__ is None


def test_classes_have_library_bases_and_ordered_methods():
    import torch

    for name, methods in CLASSES.items():
        cls = getattr(tavrine, name)
        base = torch.utils.data.Dataset if name.startswith("Csv") else torch.nn.Module
        assert cls.__bases__ == (base,), name
        assert cls.__module__ == "quorvane.Source.tavrine" and cls.__qualname__ == name
        assert cls.__doc__ is None
        assert [m for m in vars(cls) if m in methods] == methods
        for method in methods:
            fn = vars(cls)[method]
            assert fn.__qualname__ == f"{name}.{method}"
            assert fn.__module__ == "quorvane.Source.tavrine"
            assert list(inspect.signature(fn).parameters)[0] == "self"


def test_docstrings():
    load_doc = "Download the fashion mnist dataset and then load into memory."
    assert tavrine.load_data_fashion_mnist.__doc__ == load_doc
    assert tavrine.load_custom_shm_data.__doc__ == load_doc
    assert tavrine.adjust_learning_rate.__doc__ == "Reduce learning rate by half every 50 epoch"
    for name in ("CsvDataset", "CsvDataset_Test", "CsvDataset_Test_Serial"):
        assert getattr(tavrine, name).__init__.__doc__ == INIT_DOC
    assert tavrine.AlexNet.spatial_pyramid_pool.__doc__.startswith(
        "\n        previous_conv: a tensor vector of previous convolution layer\n")
    documented = {"load_data_fashion_mnist", "load_custom_shm_data", "adjust_learning_rate"}
    for name in REGISTERED:
        obj = getattr(tavrine, name)
        if not inspect.isclass(obj) and name not in documented:
            assert obj.__doc__ is None, name


@pytest.mark.parametrize(
    "name, defaults",
    [
        ("load_data_fashion_mnist", (None, "~/Datasets/FashionMNIST")),
        ("load_custom_shm_data", ("~/Datasets/FashionMNIST",)),
        ("train_network", (None, None, None)),
        ("pool2d", ("max",)),
        ("sgd", None),
    ],
)
def test_defaults(name, defaults):
    fn = getattr(tavrine, name)
    assert fn.__defaults__ == defaults
    assert fn.__module__ == "quorvane.Source.tavrine" and fn.__qualname__ == name
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in inspect.signature(fn).parameters.values())


def test_test_dataset_mode_defaults_to_training():
    assert tavrine.CsvDataset_Test.__init__.__defaults__ == ("training",)
    assert str(inspect.signature(tavrine.train_network)).endswith("params=None, lr=None, optimizer=None)")


@pytest.mark.parametrize("available, expected", [(True, "mps"), (False, "cpu"), (1, "mps"), (0, "cpu")])
def test_device_follows_the_mps_check(python_subprocess, available, expected):
    proc = python_subprocess(
        f"""
        import torch, torchvision  # torchvision's import reads the real check
        calls = []
        def is_available():
            calls.append(1)
            return {available!r}
        torch.backends.mps.is_available = is_available
        torch.cuda.is_available = lambda: True
        import quorvane.Source.tavrine as t
        import importlib, sys
        del sys.modules["quorvane.Source.tavrine"]
        again = importlib.import_module("quorvane.Source.tavrine")
        print(repr(t.device), type(t.device).__name__, len(calls), again is t)
        """
    )
    assert proc.stdout.split() == [repr(expected), "str", "1", "True"]


def test_import_prints_nothing_and_a_failing_import_is_retried(python_subprocess):
    proc = python_subprocess(
        """
        import sys
        sys.modules["torchvision"] = None
        try:
            import quorvane.Source.tavrine
        except ImportError:
            pass
        else:
            raise SystemExit("import should have failed")
        del sys.modules["torchvision"]
        import quorvane.Source.tavrine as t
        assert t.AlexNet.__module__ == "quorvane.Source.tavrine"
        """
    )
    assert proc.stdout == ""
