# Type stubs for the native model module.
import sys as sys
import math as math
from typing import Any, Callable, Iterable, Sequence, SupportsIndex

import torch as torch
import torchvision as torchvision
import numpy as np
import pandas as pd
import matplotlib.pyplot as plt
from numpy.typing import NDArray
from torch import Tensor, nn as nn
from torch.nn import functional as F
from torch.optim import Optimizer
from torch.utils import data as data
from torch.utils.data import DataLoader

device: str

def load_data_fashion_mnist(
    batch_size: int, resize: int | tuple[int, int] | None = None, root: str = "~/Datasets/FashionMNIST"
) -> tuple[DataLoader[Any], DataLoader[Any]]: ...
def load_custom_shm_data(
    batch_size: int, root: str = "~/Datasets/FashionMNIST"
) -> tuple[DataLoader[tuple[Tensor, Tensor]], DataLoader[tuple[Tensor, Tensor]]]: ...

class FlattenLayer(nn.Module):
    def __init__(self) -> None: ...
    def forward(self, x: Tensor) -> Tensor: ...

def evaluate_accuracy(data_iter: Iterable[tuple[Tensor, Tensor]], net: nn.Module) -> tuple[float, float]: ...
def sgd(params: Iterable[Tensor], lr: float, batch_size: float) -> None: ...
def train_network(
    net: nn.Module,
    train_iter: Iterable[tuple[Tensor, Tensor]],
    test_iter: Iterable[tuple[Tensor, Tensor]],
    loss: Callable[[Tensor, Tensor], Tensor],
    num_epochs: int,
    batch_size: float,
    params: Sequence[Tensor] | None = None,
    lr: float | None = None,
    optimizer: Optimizer | None = None,
) -> None: ...
def reformat_output(y_hat: Tensor) -> Tensor: ...
def adjust_learning_rate(optimizer: Optimizer, epoch: int, lr: float) -> None: ...
def get_fashion_mnist_labels(labels: Iterable[Any]) -> list[str]: ...
def get_custom_shm_labels(labels: Sequence[Sequence[float]] | Tensor, type: str) -> list[str]: ...
def show_shm_fig(images: Sequence[Tensor] | Tensor, labels: Sequence[str]) -> None: ...

class CsvDataset(data.Dataset[tuple[Tensor, Tensor]]):
    data_count: int
    result_dict: dict[str, int]
    csv_df: Any
    X_train: Tensor
    Y_train: Tensor
    def __init__(self, csv_file: Any) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: Any) -> tuple[Tensor, Tensor]: ...
    def convert_SHM_data(self, tmp_np: NDArray[Any]) -> NDArray[np.float64]: ...
    def convert_result(self, text: str) -> list[float]: ...
    def __getstate__(self) -> dict[str, Any]: ...

class CsvDataset_Test(data.Dataset[tuple[Tensor, list[str]]]):
    data_count: int
    raw_dict: dict[str, list[list[Any]]]
    result_dict: dict[str, int]
    csv_df: Any
    X_train: Tensor
    Y_train: list[list[str]]
    def __init__(self, csv_file: Any, mode: str = "training") -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: Any) -> tuple[Tensor, list[str]]: ...
    def convert_SHM_data(self, tmp_np: NDArray[Any]) -> NDArray[np.float64]: ...
    def __getstate__(self) -> dict[str, Any]: ...

class CsvDataset_Test_Serial(data.Dataset[tuple[Tensor, Any]]):
    raw_dict: dict[Any, Any]
    result_dict: dict[str, int]
    X_train: Tensor
    Y_train: list[Any]
    def __init__(self, shmoo_body: Sequence[Sequence[Any]] | NDArray[Any], shmoo_title: Any) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: Any) -> tuple[Tensor, Any]: ...
    def convert_SHM_data(self, tmp_np: NDArray[Any]) -> NDArray[np.float64]: ...

def corr2d(X: Tensor, K: Tensor) -> Tensor: ...
def pool2d(X: Tensor, pool_size: tuple[int, int], mode: str = "max") -> Tensor: ...

class Conv2D(nn.Module):
    weight: nn.Parameter
    bias: nn.Parameter
    def __init__(self, kernel_size: tuple[int, int]) -> None: ...
    def forward(self, x: Tensor) -> Tensor: ...

class LeNet(nn.Module):
    conv: nn.Sequential
    fc: nn.Sequential
    def __init__(self) -> None: ...
    def forward(self, img: Tensor) -> Tensor: ...

def nin_block(
    in_channels: int,
    out_channels: int,
    kernel_size: int | tuple[int, int],
    stride: int | tuple[int, int],
    padding: int | tuple[int, int],
) -> nn.Sequential: ...

class Inception(nn.Module):
    p1_1: nn.Conv2d
    p2_1: nn.Conv2d
    p2_2: nn.Conv2d
    p3_1: nn.Conv2d
    p3_2: nn.Conv2d
    p4_1: nn.MaxPool2d
    p4_2: nn.Conv2d
    def __init__(
        self, in_c: int, c1: int, c2: Sequence[int], c3: Sequence[int], c4: int
    ) -> None: ...
    def forward(self, x: Tensor) -> Tensor: ...

class AlexNet(nn.Module):
    conv1: nn.Sequential
    conv2: nn.Sequential
    conv3: nn.Sequential
    conv4: nn.Sequential
    fc1: nn.Sequential
    fc2: nn.Sequential
    fc3: nn.Sequential
    def __init__(self) -> None: ...
    def forward(self, x: Tensor) -> Tensor: ...
    def spatial_pyramid_pool(
        self,
        previous_conv: Tensor,
        num_sample: int | SupportsIndex,
        previous_conv_size: Sequence[int],
        out_pool_size: Sequence[int],
    ) -> Tensor: ...
