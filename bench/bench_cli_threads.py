"""Training time of the command line's default (one tensor-library thread) against
the library's own default thread count, on the same generated data and seed.

    MPLBACKEND=Agg python bench/bench_cli_threads.py [records] [epochs]
"""

import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

import torch  # noqa: E402

from quorvane import samples, training  # noqa: E402


def timed_training(csv_path: Path, out: Path, threads: int, epochs: int) -> float:
    torch.set_num_threads(threads)
    started = time.perf_counter()
    training.run_train(csv_path, out, epochs=epochs, batch_size=32, lr=0.01, seed=0)
    return time.perf_counter() - started


def main() -> None:
    records = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    epochs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    default_threads = torch.get_num_threads()
    with tempfile.TemporaryDirectory() as tmp:
        csv_path = samples.write_shmoo_csv(Path(tmp) / "bench.csv", count=records, seed=0)
        # Warm-up so neither side pays for first-call set-up.
        timed_training(csv_path, Path(tmp) / "warm.pt", 1, 1)
        library = timed_training(csv_path, Path(tmp) / "a.pt", default_threads, epochs)
        single = timed_training(csv_path, Path(tmp) / "b.pt", 1, epochs)
    print(f"records {records}, epochs {epochs}, library default {default_threads} threads")
    print(f"library default threads: {library:.2f} s")
    print(f"one thread (CLI default): {single:.2f} s")
    print(f"speed-up: {library / single:.2f}x")


if __name__ == "__main__":
    main()
