"""corr2d and pool2d on 64x64 inputs: the module's functions against the
element-by-element definition, timed in the same run. Target: at least 50x."""
import sys
import time

import torch

from quorvane.Source import tavrine as tv

TARGET = 50.0


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


def best_of(fn, repeats, inner):
    fn()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        best = min(best, (time.perf_counter() - start) / inner)
    return best


def main():
    torch.manual_seed(0)
    X = torch.randn(64, 64)
    K = torch.randn(3, 3)
    cases = [
        ("corr2d 64x64, 3x3 kernel", lambda: tv.corr2d(X, K), lambda: corr2d_ref(X, K)),
        ("corr2d 64x64, 2x2 kernel, grad", lambda: tv.corr2d(X, K[:2, :2].requires_grad_()),
         lambda: corr2d_ref(X, K[:2, :2].requires_grad_())),
        ("pool2d 64x64, 2x2 max", lambda: tv.pool2d(X, (2, 2)), lambda: pool2d_ref(X, (2, 2))),
        ("pool2d 64x64, 3x3 avg", lambda: tv.pool2d(X, (3, 3), "avg"), lambda: pool2d_ref(X, (3, 3), "avg")),
    ]
    worst = float("inf")
    print(f"{'case':34} {'module':>11} {'element-wise':>13} {'ratio':>8}")
    for name, fast, ref in cases:
        torch.testing.assert_close(fast(), ref())
        t_fast = best_of(fast, 5, 50)
        t_ref = best_of(ref, 3, 1)
        ratio = t_ref / t_fast
        worst = min(worst, ratio)
        print(f"{name:34} {t_fast * 1e6:9.1f}us {t_ref * 1e3:11.2f}ms {ratio:7.0f}x")
    print(f"lowest ratio {worst:.0f}x (target {TARGET:.0f}x): {'met' if worst >= TARGET else 'NOT met'}")
    return 0 if worst >= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
