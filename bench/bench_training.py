"""One training epoch over 1,000 shmoo-sized records (batch 64), native
train_network against a straightforward Python rendering of the same loop,
run alternately in the same process. Prints per-epoch times and ratios.

The live plot is replaced by a do-nothing stand-in in both loops, so that
figure drawing (identical work in both) does not dilute the comparison.

    MPLBACKEND=Agg python bench/bench_training.py [rounds]
"""

import statistics
import sys
import time
import timeit

import torch
from torch import nn
from torch.utils import data

from quorvane.Source import tavrine

RECORDS, TEST_RECORDS, BATCH = 1000, 100, 64


class NullPlot:
    def __getattr__(self, name):
        return lambda *args, **kwargs: None


def stand_in_alexnet():
    """Same layout as the module's AlexNet, for trees where it is not built yet."""

    class SPPNet(nn.Module):
        def __init__(self):
            super().__init__()

            def conv(i, o, p):
                return nn.Sequential(nn.Conv2d(i, o, 3, padding=p), nn.BatchNorm2d(o), nn.ReLU())

            self.conv = nn.Sequential(conv(1, 32, 1), conv(32, 16, 1), conv(16, 8, 1), conv(8, 4, 0))
            self.fc = nn.Sequential(nn.Linear(84, 42), nn.BatchNorm1d(42), nn.ReLU(), nn.Linear(42, 21),
                                    nn.BatchNorm1d(21), nn.ReLU(), nn.Linear(21, 6))

        def forward(self, x):
            x = self.conv(x)
            n = x.size(0)
            levels = [nn.AdaptiveMaxPool2d((k, k))(x).view(n, -1) for k in (4, 2, 1)]
            return self.fc(torch.cat(levels, 1))

    return SPPNet()


def make_net():
    return tavrine.AlexNet() if hasattr(tavrine, "AlexNet") else stand_in_alexnet()


# --- the same loop, written as plain Python ----------------------------------


def py_reformat_output(y_hat):
    fail = y_hat[:, 0] >= y_hat[:, 1]
    passed = y_hat[:, 1] >= y_hat[:, 0]
    y_hat[y_hat >= 0.5] = 1
    y_hat[y_hat < 0.5] = 0
    y_hat[:, 0] = fail
    y_hat[:, 1] = passed
    return y_hat


def py_evaluate_accuracy(data_iter, net):
    net.eval()
    acc_sum, n, acc_sum_pf = 0.0, 0, 0.0
    for X, y in data_iter:
        y_hat = py_reformat_output(net(X))
        check_result = torch.sum(y_hat == y, 1)
        check_result_pf = torch.logical_and(y_hat[:, 0] == y[:, 0], y_hat[:, 1] == y[:, 1])
        acc_sum += (check_result == 6).float().sum().item()
        acc_sum_pf += check_result_pf.float().sum().item()
        n += y.shape[0]
    net.train()
    return acc_sum / n, acc_sum_pf / n


def py_train_network(net, train_iter, test_iter, loss, num_epochs, batch_size, params=None, lr=None, optimizer=None,
                     plt=NullPlot()):
    plt.ion()
    plt.figure()
    plt.axis([0, 100, 0.0, 1.0])
    plt.grid()
    for epoch in range(num_epochs):
        train_l_sum, train_acc_sum, n = 0.0, 0.0, 0
        for X, y in train_iter:
            y_hat = net(X)
            l = loss(y_hat, y)
            if optimizer is not None:
                optimizer.zero_grad()
            elif params is not None and params[0].grad is not None:
                for param in params:
                    param.grad.data.zero_()
            l.backward()
            if optimizer is None:
                tavrine.sgd(params, lr, batch_size)
            else:
                optimizer.step()
            train_l_sum += l.item()
            y_hat = py_reformat_output(y_hat)
            check_result = torch.sum(y_hat == y, 1)
            train_acc_sum += (check_result == 6).sum().item()
            n += y.shape[0]
        test_acc, test_acc_pf = py_evaluate_accuracy(test_iter, net)
        if optimizer is not None:
            optimizer.zero_grad()
        plt.plot(epoch, test_acc, ".r")
        plt.plot(epoch, test_acc_pf, "+b")
        plt.pause(0.001)
        print(f"epoch {epoch + 1:d}, loss {train_l_sum / n:.4f}, train acc {train_acc_sum / n:.3f}, "
              f"test acc {test_acc:.3f}, test acc P/F {test_acc_pf:.3f}")
    plt.grid()
    plt.ioff()
    plt.grid()


# --- measurement ---------------------------------------------------------------


def loaders():
    g = torch.Generator().manual_seed(7)
    X = (torch.rand(RECORDS + TEST_RECORDS, 1, 11, 11, generator=g) > 0.5).float()
    Y = torch.zeros(RECORDS + TEST_RECORDS, 6)
    Y[torch.arange(len(Y)), (X[:, 0, 5, 5] > 0).long()] = 1.0
    Y[:, 2:] = (torch.rand(len(Y), 4, generator=g) > 0.7).float()
    train = data.TensorDataset(X[:RECORDS], Y[:RECORDS])
    test = data.TensorDataset(X[RECORDS:], Y[RECORDS:])
    return (data.DataLoader(train, batch_size=BATCH, shuffle=True, num_workers=0),
            data.DataLoader(test, batch_size=BATCH, shuffle=True, num_workers=0))


def one_epoch(train_fn, train_iter, test_iter):
    torch.manual_seed(0)
    net = make_net()
    optimizer = torch.optim.Adam(net.parameters(), lr=0.0014)
    loss = nn.MultiLabelSoftMarginLoss()
    # CPU time of this process: other jobs on a shared machine do not count.
    start = time.process_time()
    train_fn(net, train_iter, test_iter, loss, 1, BATCH, optimizer=optimizer)
    return time.process_time() - start


def bookkeeping_per_batch():
    """The per-batch work around the network: reformatting and counting a
    (64, 6) score batch that carries autograd history, as the loop sees it."""
    layer = nn.Linear(3, 6)
    x, y = torch.randn(BATCH, 3), (torch.rand(BATCH, 6) > 0.5).float()

    def native():
        y_hat = tavrine.reformat_output(layer(x))
        return (torch.sum(y_hat == y, 1) == 6).sum().item()

    def python():
        y_hat = py_reformat_output(layer(x))
        return (torch.sum(y_hat == y, 1) == 6).sum().item()

    def forward_only():
        return layer(x)

    best = {}
    for fn in (forward_only, native, python):
        best[fn.__name__] = min(timeit.repeat(fn, number=500, repeat=5)) / 500
    return best["native"] - best["forward_only"], best["python"] - best["forward_only"]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    torch.set_num_threads(1)  # the machine is shared: one thread keeps the figures steady
    tavrine.plt = NullPlot()
    tavrine.print = lambda *args: None
    py_globals = py_train_network.__globals__
    py_globals["print"] = lambda *args: None
    train_iter, test_iter = loaders()
    one_epoch(tavrine.train_network, train_iter, test_iter)  # warm-up
    one_epoch(py_train_network, train_iter, test_iter)
    native, python, ratios = [], [], []
    for i in range(rounds):
        # Alternate which loop goes first, so drift of the shared machine
        # falls on both alike.
        order = [(native, tavrine.train_network), (python, py_train_network)]
        for times, fn in order if i % 2 == 0 else order[::-1]:
            times.append(one_epoch(fn, train_iter, test_iter))
        ratios.append(native[-1] / python[-1])
    del tavrine.print, py_globals["print"]
    net_name = "AlexNet" if hasattr(tavrine, "AlexNet") else "stand-in network of AlexNet's layout"
    print(f"one epoch, {RECORDS} records, batch {BATCH}, {net_name}, Adam, {rounds} rounds")
    print(f"  native train_network   median {statistics.median(native) * 1e3:8.2f} ms   min {min(native) * 1e3:8.2f} ms")
    print(f"  Python rendering       median {statistics.median(python) * 1e3:8.2f} ms   min {min(python) * 1e3:8.2f} ms")
    print(f"  ratio native/Python    median of paired rounds {statistics.median(ratios):.3f}"
          f"   total {sum(native) / sum(python):.3f}   min/min {min(native) / min(python):.3f}")
    ours, theirs = bookkeeping_per_batch()
    print(f"  per-batch reformat+count   native {ours * 1e6:6.1f} us   Python {theirs * 1e6:6.1f} us"
          f"   ratio {ours / theirs:.3f}")


if __name__ == "__main__":
    main()
