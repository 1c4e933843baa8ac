"""corr2d, pool2d, Conv2D and FlattenLayer against their element-by-element definitions."""
import builtins

import pytest
import torch

from quorvane.Source import tavrine as tv


def corr2d_ref(X, K):
    h, w = K.shape
    Y = torch.zeros((X.shape[0] - h + 1, X.shape[1] - w + 1))
    for i in range(Y.shape[0]):
        for j in range(Y.shape[1]):
            Y[i, j] = (X[i:i + h, j:j + w] * K).sum()
    return Y


def pool2d_ref(X, pool_size, mode="max"):
    X = X.float()
    p_h, p_w = pool_size
    Y = torch.zeros(X.shape[0] - p_h + 1, X.shape[1] - p_w + 1)
    for i in range(Y.shape[0]):
        for j in range(Y.shape[1]):
            if mode == "max":
                Y[i, j] = X[i:i + p_h, j:j + p_w].max()
            elif mode == "avg":
                Y[i, j] = X[i:i + p_h, j:j + p_w].mean()
    return Y


X3 = torch.tensor([[0.0, 1, 2], [3, 4, 5], [6, 7, 8]])


def test_worked_values():
    Y = tv.corr2d(X3, torch.tensor([[0.0, 1], [2, 3]]))
    assert Y.dtype == torch.float32 and Y.tolist() == [[19, 25], [37, 43]]
    assert tv.pool2d(X3, (2, 2)).tolist() == [[4, 5], [7, 8]]
    assert tv.pool2d(X3, (2, 2), "avg").tolist() == [[2, 3], [5, 6]]
    assert tv.pool2d(X3, [2, 2], mode="min").tolist() == [[0, 0], [0, 0]]
    integer = tv.pool2d(X3.long(), (2, 2), "avg")
    assert integer.dtype == torch.float32 and integer.tolist() == [[2, 3], [5, 6]]
    assert tv.corr2d(X3, X3).tolist() == [[float((X3 * X3).sum())]]


def close(a, b, dtype):
    assert a.shape == b.shape and a.dtype == b.dtype and a.device == b.device
    tol = {torch.float16: 1e-2, torch.bfloat16: 5e-2}.get(dtype, 1e-5)
    torch.testing.assert_close(a, b, rtol=tol, atol=tol)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.float16, torch.int64, torch.int8, torch.bool])
@pytest.mark.parametrize("xs,ks", [((9, 7), (3, 2)), ((5, 5), (1, 1)), ((4, 6), (4, 6)), ((3, 3), (4, 1)),
                                   ((2, 5), (1, 6))])
def test_corr2d_matches_elementwise(dtype, xs, ks):
    g = torch.Generator().manual_seed(7)
    X = (torch.randn(xs, generator=g) * 3).to(dtype)
    K = (torch.randn(ks, generator=g) * 3).to(dtype)
    close(tv.corr2d(X, K), corr2d_ref(X, K), dtype)
    close(tv.corr2d(X.T, K.T), corr2d_ref(X.T, K.T), dtype)  # non-contiguous input


def test_corr2d_mixed_dtypes_and_default_dtype():
    X, K = torch.randn(6, 6, dtype=torch.float64), torch.randn(2, 3)
    close(tv.corr2d(X, K), corr2d_ref(X, K), torch.float32)
    close(tv.corr2d(X.int(), K), corr2d_ref(X.int(), K), torch.float32)
    old = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        close(tv.corr2d(X, K), corr2d_ref(X, K), torch.float64)
        close(tv.pool2d(X, (2, 2), "avg"), pool2d_ref(X, (2, 2), "avg"), torch.float64)
    finally:
        torch.set_default_dtype(old)


@pytest.mark.parametrize("mode", ["max", "avg", "min", ""])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.int32, torch.uint8])
@pytest.mark.parametrize("size,pool", [((8, 9), (2, 3)), ((4, 4), (4, 4)), ((5, 3), (1, 1)), ((3, 3), (1, 4))])
def test_pool2d_matches_elementwise(mode, dtype, size, pool):
    X = (torch.rand(size, generator=torch.Generator().manual_seed(3)) * 50).to(dtype)
    got, want = tv.pool2d(X, pool, mode), pool2d_ref(X, pool, mode)
    close(got, want, torch.float32)
    if mode == "max":
        assert torch.equal(got, want)  # bit-identical


def test_large_input_is_processed_in_steps_without_changing_values():
    X, K = torch.randn(300, 280, dtype=torch.float64), torch.randn(30, 25, dtype=torch.float64)
    want = torch.nn.functional.conv2d(X[None, None], K[None, None])[0, 0].float()
    torch.testing.assert_close(tv.corr2d(X, K), want)
    torch.testing.assert_close(tv.pool2d(X, (30, 25)), torch.nn.functional.max_pool2d(X[None], (30, 25), 1)[0].float())


@pytest.mark.parametrize("x_grad", [False, True])
def test_gradients_match_elementwise(x_grad):
    g = torch.Generator().manual_seed(11)
    weights = torch.randn(6, 5, generator=g)
    base_X, base_K = torch.randn(8, 7, generator=g), torch.randn(3, 3, generator=g)
    ties = torch.randint(0, 3, (8, 7), generator=g).float()  # many tied maxima
    grads = []
    for corr, pool in ((tv.corr2d, tv.pool2d), (corr2d_ref, pool2d_ref)):
        X, K, T = base_X.clone().requires_grad_(x_grad), base_K.clone().requires_grad_(), ties.clone().requires_grad_()
        Y = corr(X, K)
        assert Y.requires_grad
        ((Y * weights).sum() + (pool(T, (3, 3)) * weights).sum() + (pool(T, (3, 3), "avg") * weights).sum()).backward()
        grads.append((K.grad, X.grad, T.grad))
    for got, want in zip(*grads):
        assert (got is None) == (want is None)
        if want is not None:
            torch.testing.assert_close(got, want)


def test_empty_results_and_failures_match_elementwise():
    for args in ((torch.ones(3, 3), torch.ones(4, 2)), (torch.ones(3, 3, requires_grad=True), torch.ones(1, 4))):
        got = tv.corr2d(*args)
        assert got.shape == corr2d_ref(*args).shape and got.numel() == 0 and not got.requires_grad
    assert tv.pool2d(torch.ones(2, 2), (3, 1)).shape == (0, 2)
    for call, ref in ((tv.corr2d, corr2d_ref), (tv.pool2d, pool2d_ref)):
        for bad, message in (((1, 2, 3), "too many values to unpack (expected 2)"),
                             ((2,), "need more than 1 value to unpack"), ((), "need more than 0 values to unpack")):
            second = torch.ones(bad) if call is tv.corr2d else bad
            with pytest.raises(ValueError, match=r"^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
                call(torch.ones(4, 4), second)
        with pytest.raises(RuntimeError) as want:
            ref(torch.ones(3, 3), torch.ones(5, 5) if call is tv.corr2d else (5, 5))
        with pytest.raises(RuntimeError, match=str(want.value).replace("[", r"\[").replace("]", r"\]")):
            call(torch.ones(3, 3), torch.ones(5, 5) if call is tv.corr2d else (5, 5))


def test_patched_methods_and_rebound_globals_are_honoured(monkeypatch):
    X, K = torch.randn(5, 4), torch.randn(2, 2)
    original_sum = torch.Tensor.sum
    monkeypatch.setattr(torch.Tensor, "sum", lambda self, *a, **k: original_sum(self, *a, **k) + 1)
    torch.testing.assert_close(tv.corr2d(X, K), corr2d_ref(X, K))
    assert torch.allclose(tv.corr2d(X, K), torch.nn.functional.conv2d(X[None, None], K[None, None])[0, 0] + 1)
    monkeypatch.undo()

    calls = []

    class Mode(str):
        def __eq__(self, other):
            calls.append(other)
            return str.__eq__(self, other)
        __hash__ = str.__hash__

    torch.testing.assert_close(tv.pool2d(X, (2, 2), Mode("avg")), pool2d_ref(X, (2, 2), "avg"))
    assert calls == ["max", "avg"] * 12  # tested anew for every element

    monkeypatch.setattr(tv, "range", lambda n: builtins.range(min(n, 1)), raising=False)
    partial = tv.corr2d(X, K)
    assert torch.equal(partial[1:], torch.zeros(3, 3)) and torch.equal(partial[0, 0], corr2d_ref(X, K)[0, 0])
    monkeypatch.undo()

    class Recorder(torch.Tensor):
        seen = []

        @classmethod
        def __torch_function__(cls, func, types, args=(), kwargs=None):
            cls.seen.append(getattr(func, "__name__", str(func)))
            return super().__torch_function__(func, types, args, kwargs or {})

    tv.corr2d(X.as_subclass(Recorder), K)
    assert Recorder.seen.count("sum") == 12


def test_conv2d_layer():
    layer = tv.Conv2D((1, 2))
    assert layer.weight.shape == (1, 2) and layer.bias.shape == (1,)
    assert [name for name, _ in layer.named_parameters()] == ["weight", "bias"]
    assert tv.Conv2D((1, 2))(torch.ones(6, 8)).shape == (6, 7)
    # Learns the edge detector [1, -1] from its own outputs.
    X = torch.randn(6, 8, generator=torch.Generator().manual_seed(0))
    target = corr2d_ref(X, torch.tensor([[1.0, -1.0]]))
    torch.manual_seed(0)
    layer = tv.Conv2D((1, 2))
    first = None
    for _ in range(60):
        loss = ((layer(X) - target) ** 2).sum()
        first = first if first is not None else loss.item()
        layer.zero_grad()
        loss.backward()
        with torch.no_grad():
            for p in layer.parameters():
                p -= 0.01 * p.grad
    assert loss.item() < first / 100
    scalar = tv.Conv2D(3)
    assert scalar.weight.shape == (3,)
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        scalar(torch.ones(4, 4))


def test_flatten_layer():
    layer = tv.FlattenLayer()
    assert list(layer.parameters()) == [] and list(layer.state_dict()) == []
    x = torch.arange(5 * 121.0).reshape(5, 1, 11, 11)
    assert torch.equal(layer(x), x.reshape(5, 121))
    assert layer(torch.ones(5)).shape == (5, 1)
    with pytest.raises(RuntimeError):
        layer(torch.ones(4, 3, 2).transpose(0, 2))
