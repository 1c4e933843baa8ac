"""Training and evaluation functions of the model module, driven by tiny
hand-made networks and lists of (X, y) batches."""

import inspect

import pytest
import torch
from torch import nn

from quorvane.Source import tavrine

NAN = float("nan")


class Passthrough(nn.Module):
    """Returns its input as the scores (a clone, so callers may rewrite it),
    and records the mode it was called in."""

    def __init__(self):
        super().__init__()
        self.modes = []

    def forward(self, x):
        self.modes.append(self.training)
        return x.clone()


class Recorder:
    """Stands in for a library module: records every call as (name, args)."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args) if not kwargs else (name, args, kwargs))

        return record

    def names(self):
        return [call[0] for call in self.calls]


@pytest.fixture
def plt(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(tavrine, "plt", recorder)
    return recorder


def rows(*values):
    return torch.tensor(values, dtype=torch.float)


# --- reformat_output ---------------------------------------------------------


@pytest.mark.parametrize(
    "raw, expected",
    [
        # Positive Fail/Pass scores, decided by the larger one; flags at 0.5.
        ((0.2, 0.8, 0.7, 0.3, 0.5, 0.49), (0, 1, 1, 0, 1, 0)),
        ((0.9, 0.1, 0.0, 0.0, 0.0, 0.0), (1, 0, 0, 0, 0, 0)),
        ((0.3, 0.3, 0.6, 0.0, 0.0, 0.0), (1, 1, 1, 0, 0, 0)),
        ((0.2, 0.1, 0.0, 0.0, 0.0, 0.0), (1, 0, 0, 0, 0, 0)),
        # Negative rows pick the larger (less negative) score alone.
        ((-2.0, -1.0, -3.0, 0.9, -0.1, 2.0), (0, 1, 0, 1, 0, 1)),
        ((-1.0, -2.0, 0.0, 0.0, 0.0, 0.0), (1, 0, 0, 0, 0, 0)),
        ((-0.4, 0.0, 0.0, 0.0, 0.0, 0.0), (0, 1, 0, 0, 0, 0)),
        ((0.0, -7.5, 0.0, 0.0, 0.0, 0.0), (1, 0, 0, 0, 0, 0)),
        # Zero and negative ties keep both, as positive ties do.
        ((0.0, 0.0, 0.0, 0.0, 0.0, 0.0), (1, 1, 0, 0, 0, 0)),
        ((-3.0, -3.0, 0.0, 0.0, 0.0, 0.0), (1, 1, 0, 0, 0, 0)),
        # A NaN score never wins; a NaN flag is left as it is.
        ((NAN, 1.0, 0.0, 0.0, 0.0, 0.0), (0, 0, 0, 0, 0, 0)),
        ((-1.0, NAN, NAN, 0.7, 0.0, 0.0), (0, 0, NAN, 1, 0, 0)),
    ],
)
def test_reformat_output_rows(raw, expected):
    y_hat = rows(raw)
    out = tavrine.reformat_output(y_hat)
    assert out is y_hat
    torch.testing.assert_close(y_hat, rows(expected), equal_nan=True)


def test_reformat_output_batch_in_place_on_network_output():
    net = nn.Linear(3, 6)
    y_hat = net(torch.randn(5, 3))
    raw = y_hat.detach().clone()
    out = tavrine.reformat_output(y_hat=y_hat)
    assert out is y_hat
    assert ((y_hat == 0) | (y_hat == 1)).all()
    torch.testing.assert_close(y_hat[:, 0], (raw[:, 0] >= raw[:, 1]).float())
    torch.testing.assert_close(y_hat[:, 1], (raw[:, 1] >= raw[:, 0]).float())
    torch.testing.assert_close(y_hat[:, 2:], (raw[:, 2:] >= 0.5).float())


def test_reformat_output_refusals_leave_tensor_unchanged():
    leaf = torch.tensor([[0.1, 0.9, 0.7, 0.0, 0.0, 0.0]], requires_grad=True)
    with pytest.raises(RuntimeError, match="leaf Variable"):
        tavrine.reformat_output(leaf)
    torch.testing.assert_close(leaf.detach(), rows((0.1, 0.9, 0.7, 0.0, 0.0, 0.0)))
    narrow = torch.tensor([[0.3], [0.7]])
    with pytest.raises(IndexError):
        tavrine.reformat_output(narrow)
    torch.testing.assert_close(narrow, torch.tensor([[0.3], [0.7]]))
    with pytest.raises(TypeError, match="exactly 1 positional argument"):
        tavrine.reformat_output()


# --- evaluate_accuracy -------------------------------------------------------

LABEL_PASS = (0.0, 1.0, 0.0, 0.0, 0.0, 0.0)
LABEL_FAIL_VOL = (1.0, 0.0, 1.0, 0.0, 0.0, 0.0)


def test_evaluate_accuracy_weights_samples_not_batches():
    net = Passthrough()
    net.eval()
    batches = [
        # Three exact matches (scores negative: the larger raw value decides).
        (rows((-2, -1, 0, 0, 0, 0), (5, 1, 0.9, 0, 0, 0), (0.1, 0.4, 0, 0, 0, 0)),
         rows(LABEL_PASS, LABEL_FAIL_VOL, LABEL_PASS)),
        # A short last batch of one sample that differs only in Freq.
        (rows((0, 3, 0, 0.8, 0, 0)), rows(LABEL_PASS)),
    ]
    exact, pass_fail = tavrine.evaluate_accuracy(batches, net)
    assert (exact, pass_fail) == (0.75, 1.0)
    assert type(exact) is float and type(pass_fail) is float
    assert net.modes == [False, False]
    assert net.training


@pytest.mark.parametrize(
    "scores, label, expected",
    [
        ((0, 3, 0, 0.8, 0, 0), LABEL_PASS, (0.0, 1.0)),  # Freq only: pass/fail still agrees
        ((3, 0, 0, 0, 0, 0), LABEL_PASS, (0.0, 0.0)),  # Fail/Pass swapped
        ((3, 3, 0, 0, 0, 0), LABEL_PASS, (0.0, 0.0)),  # tie marks Fail too
        ((0, 3, 0, 0, 0, 0), LABEL_PASS, (1.0, 1.0)),
    ],
)
def test_evaluate_accuracy_counts(scores, label, expected):
    assert tavrine.evaluate_accuracy([(rows(scores), rows(label))], Passthrough()) == expected


def test_evaluate_accuracy_empty_loader_switches_back_first():
    net = Passthrough()
    net.eval()
    with pytest.raises(ZeroDivisionError):
        tavrine.evaluate_accuracy([], net)
    assert net.training


def test_evaluate_accuracy_failures(monkeypatch):
    net = Passthrough()
    with pytest.raises(ValueError, match="too many values to unpack"):
        tavrine.evaluate_accuracy([(rows(LABEL_PASS), rows(LABEL_PASS), None)], net)
    assert not net.training  # an error inside the loop leaves evaluation mode
    # The reformatting step is looked up in the module at each call.
    seen = []
    monkeypatch.setattr(tavrine, "reformat_output", lambda y_hat: seen.append(y_hat) or y_hat.round())
    assert tavrine.evaluate_accuracy([(rows((0.2, 0.6, 0, 0, 0, 0)), rows((0, 1, 0, 0, 0, 0)))] * 2, net) == (1.0, 1.0)
    assert len(seen) == 2


# --- sgd -----------------------------------------------------------------------


def test_sgd_updates_data_in_order_and_stops_at_missing_grad():
    first, missing, last = (nn.Parameter(torch.full((2, 2), 1.0)) for _ in range(3))
    first.grad = torch.ones(2, 2)
    last.grad = torch.ones(2, 2)
    assert tavrine.sgd([first], 0.1, 10) is None
    torch.testing.assert_close(first.data, torch.full((2, 2), 0.99))
    assert first.grad_fn is None and first.requires_grad  # not recorded by autograd
    with pytest.raises(TypeError):
        tavrine.sgd(params=[first, missing, last], lr=0.1, batch_size=10)
    torch.testing.assert_close(first.data, torch.full((2, 2), 0.98))
    torch.testing.assert_close(last.data, torch.full((2, 2), 1.0))
    with pytest.raises(TypeError):
        tavrine.sgd([last], None, 10)
    assert tavrine.sgd([], 0.1, 10) is None


# --- adjust_learning_rate ------------------------------------------------------


def optimizer_with_groups(count=1, lr=5.0):
    return torch.optim.SGD([{"params": [nn.Parameter(torch.zeros(1))]} for _ in range(count)], lr=lr)


@pytest.mark.parametrize(
    "epoch, factor",
    [(0, 1.0), (59, 1.0), (60, 0.7), (119, 0.7), (120, 0.7 * 0.7), (-1, 1 / 0.7), (-61, 1 / 0.49)],
)
def test_adjust_learning_rate_schedule(epoch, factor, capsys):
    optimizer = optimizer_with_groups(2)
    assert tavrine.adjust_learning_rate(optimizer, epoch, 0.001) is None
    expected = 0.001 * factor
    for group in optimizer.param_groups:
        assert group["lr"] == pytest.approx(expected, rel=1e-12)
    assert capsys.readouterr().out == f"Learning rate:  {optimizer.param_groups[0]['lr']}\n" * 2


def test_adjust_learning_rate_prints_two_arguments_and_repeats(monkeypatch):
    printed = []
    monkeypatch.setattr(tavrine, "print", lambda *args: printed.append(args), raising=False)
    optimizer = optimizer_with_groups(1, lr=0.9)
    for _ in range(2):
        tavrine.adjust_learning_rate(optimizer, epoch=125, lr=0.001)
    assert printed == [("Learning rate: ", 0.001 * 0.7**2)] * 2
    assert tavrine.adjust_learning_rate.__doc__ == "Reduce learning rate by half every 50 epoch"


def test_adjust_learning_rate_without_groups_prints_nothing(capsys):
    with pytest.raises(AttributeError):
        tavrine.adjust_learning_rate(object(), 0, 0.1)
    assert capsys.readouterr().out == ""


# --- train_network -------------------------------------------------------------


class Constant(nn.Module):
    """Scores every sample with the same row: its bias (the weight is zero),
    so an update with learning rate 0 keeps the scores fixed."""

    def __init__(self, scores):
        super().__init__()
        self.linear = nn.Linear(1, 6)
        with torch.no_grad():
            self.linear.weight.zero_()
            self.linear.bias.copy_(torch.tensor(scores))

    def forward(self, x):
        return self.linear(x)


def batch(*labels):
    return torch.ones(len(labels), 1), rows(*labels)


SCORES = (2.0, -1.0, 0.7, 0.1, 0.2, 0.9)  # reformats to Fail-Vol-Hole
EXACT = (1.0, 0.0, 1.0, 0.0, 0.0, 1.0)
PF_ONLY = (1.0, 0.0, 0.0, 0.0, 0.0, 1.0)
WRONG = (0.0, 1.0, 1.0, 0.0, 0.0, 1.0)
# Six training samples in batches of 4 and 2, three matching exactly; four
# test samples, one exact and three pass/fail matches.
TRAIN = [batch(EXACT, EXACT, WRONG, PF_ONLY), batch(EXACT, WRONG)]
TEST = [batch(EXACT, PF_ONLY, PF_ONLY), batch(WRONG)]


def quarter_square_loss(y_hat, y):
    # 0.25 * batch size squared: 4.0 and 1.0 for the two batches.
    return y_hat.sum() * 0 + 0.25 * y.shape[0] ** 2


def test_train_network_progress_lines_and_plot_calls(plt, capsys):
    net = Constant(SCORES)
    optimizer = torch.optim.SGD(net.parameters(), lr=0.0)
    result = tavrine.train_network(net, TRAIN, TEST, quarter_square_loss, 2, 4, optimizer=optimizer)
    assert result is None
    # Loss: (4 + 1) / 6 samples, not per batch.
    assert capsys.readouterr().out == (
        "epoch 1, loss 0.8333, train acc 0.500, test acc 0.250, test acc P/F 0.750\n"
        "epoch 2, loss 0.8333, train acc 0.500, test acc 0.250, test acc P/F 0.750\n"
    )
    assert plt.calls == [
        ("ion", ()),
        ("figure", ()),
        ("axis", ([0, 100, 0.0, 1.0],)),
        ("grid", ()),
        ("plot", (0, 0.25, ".r")),
        ("plot", (0, 0.75, "+b")),
        ("pause", (0.001,)),
        ("plot", (1, 0.25, ".r")),
        ("plot", (1, 0.75, "+b")),
        ("pause", (0.001,)),
        ("grid", ()),
        ("ioff", ()),
        ("grid", ()),
    ]
    assert [type(v) for v in plt.calls[2][1][0]] == [int, int, float, float]
    assert net.training


def test_train_network_zero_epochs_only_sets_up_and_tears_down(plt, capsys):
    net = Passthrough()
    assert tavrine.train_network(net, TRAIN, TEST, quarter_square_loss, 0, 4) is None
    assert plt.names() == ["ion", "figure", "axis", "grid", "grid", "ioff", "grid"]
    assert capsys.readouterr().out == "" and net.modes == []


class CountingOptimizer:
    def __init__(self, optimizer):
        self.optimizer = optimizer
        self.calls = []

    def zero_grad(self):
        self.calls.append("zero_grad")
        self.optimizer.zero_grad()

    def step(self):
        self.calls.append("step")
        self.optimizer.step()


def test_train_network_optimizer_mode_call_order(plt, capsys):
    net = Constant(SCORES)
    optimizer = CountingOptimizer(torch.optim.SGD(net.parameters(), lr=0.1))
    # params, lr and batch_size are not touched in this mode.
    tavrine.train_network(net, TRAIN, TEST, quarter_square_loss, 3, "unused", params="unused", lr="unused",
                          optimizer=optimizer)
    per_epoch = ["zero_grad", "step"] * len(TRAIN) + ["zero_grad"]
    assert optimizer.calls == per_epoch * 3
    assert all(p.grad is None or not p.grad.any() for p in net.parameters())
    assert len(capsys.readouterr().out.splitlines()) == 3


def test_train_network_manual_mode_resets_gradients_once_they_exist(plt, monkeypatch, capsys):
    net = Constant(SCORES)
    params = list(net.parameters())
    calls = []
    real_sgd = tavrine.sgd

    def spy_sgd(params_, lr, batch_size):
        calls.append((params_, lr, batch_size, [p.grad.clone() for p in params_]))
        real_sgd(params_, lr, batch_size)

    monkeypatch.setattr(tavrine, "sgd", spy_sgd)
    loss = nn.MSELoss(reduction="sum")
    tavrine.train_network(net, TRAIN, TEST, loss, 1, 4, params, 0.0)
    assert len(calls) == len(TRAIN)
    assert all(c[0] is params and c[1] == 0.0 and c[2] == 4 for c in calls)
    # The second batch's gradients are its own: the first batch's were reset
    # before backward rather than accumulated.
    for (X, y), (_, _, _, grads) in zip(TRAIN, calls):
        fresh = Constant(SCORES)
        loss(fresh(X), y).backward()
        for param, grad in zip(fresh.parameters(), grads):
            torch.testing.assert_close(grad, param.grad)
    # The last batch's gradients stay on return in this mode.
    torch.testing.assert_close(params[1].grad, calls[-1][3][1])


def test_train_network_manual_mode_without_params_changes_nothing(plt, capsys):
    net = nn.Sequential(nn.Linear(1, 6))
    before = {k: v.clone() for k, v in net.state_dict().items()}
    with pytest.raises(TypeError):
        tavrine.train_network(net, TRAIN, TEST, nn.MSELoss(), 1, 4, lr=0.5)
    for key, value in net.state_dict().items():
        torch.testing.assert_close(value, before[key])
    assert net[0].weight.grad is not None  # backward ran before the update failed
    assert "ioff" not in plt.names() and capsys.readouterr().out == ""


def test_train_network_failures(plt, capsys, monkeypatch):
    net = Constant(SCORES)
    optimizer = torch.optim.SGD(net.parameters(), lr=0.0)
    # An empty training loader still evaluates and plots, then cannot divide.
    with pytest.raises(ZeroDivisionError):
        tavrine.train_network(net, [], TEST, quarter_square_loss, 2, 4, optimizer=optimizer)
    assert plt.names() == ["ion", "figure", "axis", "grid", "plot", "plot", "pause"]
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        tavrine.train_network(net, [(torch.ones(1, 1),)], TEST, quarter_square_loss, 1, 4, optimizer=optimizer)
    with pytest.raises(ZeroDivisionError):
        tavrine.train_network(net, TRAIN, [], quarter_square_loss, 1, 4, optimizer=optimizer)
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        tavrine.train_network(net, TRAIN, TEST, quarter_square_loss, 1.0, 4, optimizer=optimizer)
    with pytest.raises(TypeError, match=r"takes at least 6 positional arguments \(5 given\)"):
        tavrine.train_network(net, TRAIN, TEST, quarter_square_loss, 1)
    assert capsys.readouterr().out == ""


def test_train_network_uses_module_functions_at_call_time(plt, capsys, monkeypatch):
    monkeypatch.setattr(tavrine, "evaluate_accuracy", lambda test_iter, net: (0.5, 1))
    monkeypatch.setattr(tavrine, "reformat_output", lambda y_hat: torch.zeros_like(y_hat))
    net = Constant(SCORES)
    tavrine.train_network(net, [batch((0, 0, 0, 0, 0, 0), EXACT)], TEST, quarter_square_loss, 1, 2,
                          optimizer=torch.optim.SGD(net.parameters(), lr=0.0))
    assert capsys.readouterr().out == "epoch 1, loss 0.5000, train acc 0.500, test acc 0.500, test acc P/F 1.000\n"
    assert inspect.signature(tavrine.train_network).parameters["optimizer"].default is None
