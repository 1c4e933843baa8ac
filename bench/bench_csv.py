"""CsvDataset construction: the native loader against the chunk-reader loop.

Run: python bench/bench_csv.py [--quick]

The chunk-reader loop is what a subclass overriding a conversion method gets;
it is the straightforward record-by-record reading the native loader must match.
Sizes 1,000 and 5,000 compare both in this run (and check they agree); 20,000 and
100,000 time the native loader alone, each in a fresh process so that its peak
memory growth can be measured against the size of the tensors it builds.
"""

import contextlib
import io
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from quorvane.symbols import LABEL_KEYS

KEYS = list(LABEL_KEYS)


def write_file(path, records, seed=0):
    rng = random.Random(seed)
    symbols = "P.*#p"
    with open(path, "w") as f:
        for _ in range(records):
            label = rng.choice(["Pass", "Fail"])
            extra = [k for k in KEYS[2:] if rng.random() < 0.2]
            f.write("-".join([label] + extra) + "," * 10 + "\n")
            for _ in range(11):
                f.write(",".join(rng.choice(symbols) for _ in range(11)) + "\n")


def build(cls, path):
    out = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(out):
        dataset = cls(path)
    return time.perf_counter() - start, dataset, out.getvalue()


def compare(path, records):
    import torch
    from quorvane.Source import tavrine

    class ChunkReader(tavrine.CsvDataset):
        def convert_SHM_data(self, tmp_np):
            return super().convert_SHM_data(tmp_np)

    native_time, native, native_out = min((build(tavrine.CsvDataset, path) for _ in range(3)), key=lambda r: r[0])
    slow_time, slow, slow_out = build(ChunkReader, path)
    assert native.csv_df._currow == 0 and slow.csv_df._currow > 0
    assert native_out == slow_out
    assert torch.equal(native.X_train, slow.X_train) and torch.equal(native.Y_train, slow.Y_train)
    print(f"{records:>7} records  chunk reader {slow_time:8.3f} s   native {native_time * 1e3:8.2f} ms"
          f"   speed-up {slow_time / native_time:8.1f}x   (same tensors and output)")


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def native_child(path):
    import torch
    from quorvane.Source import tavrine

    # Reset the high-water mark so the peak is the constructor's own, not the imports'.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    elapsed, dataset, _ = build(tavrine.CsvDataset, path)
    peak = status_kib("VmHWM")
    tensors = dataset.X_train.nbytes + dataset.Y_train.nbytes
    print(json.dumps({"seconds": elapsed, "peak_growth": (peak - before) * 1024, "tensors": tensors,
                      "count": dataset.data_count}))


def native_alone(path, records):
    env = dict(os.environ, MPLBACKEND="Agg")
    result = subprocess.run([sys.executable, __file__, "--child", path], capture_output=True, text=True,
                            env=env, check=True)
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    assert figures["count"] == records
    size = os.path.getsize(path)
    print(f"{records:>7} records  native {figures['seconds'] * 1e3:8.1f} ms"
          f"   {figures['seconds'] / records * 1e6:6.2f} us/record"
          f"   tensors {figures['tensors'] / 2**20:6.1f} MiB   file {size / 2**20:6.1f} MiB"
          f"   peak growth {figures['peak_growth'] / 2**20:6.1f} MiB"
          f" ({figures['peak_growth'] / figures['tensors']:.2f}x tensors)")
    return figures["seconds"]


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        native_child(sys.argv[2])
        return
    quick = "--quick" in sys.argv
    with tempfile.TemporaryDirectory() as tmp:
        for records in ((200, 1000) if quick else (1000, 5000)):
            path = os.path.join(tmp, f"shm_{records}.csv")
            write_file(path, records)
            compare(path, records)
        times = {}
        for records in ((20000,) if quick else (20000, 100000)):
            path = os.path.join(tmp, f"shm_{records}.csv")
            write_file(path, records)
            times[records] = native_alone(path, records)
        if len(times) == 2:
            print(f"time ratio 100,000 / 20,000 records: {times[100000] / times[20000]:.2f} (linear: 5.00)")


if __name__ == "__main__":
    main()
