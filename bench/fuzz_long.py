"""Long differential fuzz run: the strategies of tests/test_fuzz*.py for many
thousands of cases, counting disagreements instead of stopping at the first.

    python bench/fuzz_long.py                 # 4000 cases per harness
    python bench/fuzz_long.py 20000 csv       # one harness, more cases

Prints per harness the number of cases, how many of them the fast path
actually handled, the disagreements (with the first few inputs) and the time.
"""

import importlib.util
import os
import sys
import tempfile
import time
import warnings

from hypothesis import HealthCheck, Phase, given, settings

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")


def load(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(TESTS, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(name, strategy, check, fast_share, cases):
    seen = []
    wrong = []

    @settings(max_examples=cases, deadline=None, database=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(case=strategy)
    def harness(case):
        seen.append(fast_share(case) if fast_share else 0)
        problem = check(case)
        if problem is not None:
            wrong.append((problem, case))

    start = time.perf_counter()
    harness()
    elapsed = time.perf_counter() - start
    taken = f", {sum(seen)} taken by the fast path" if fast_share else ""
    print(f"{name}: {len(seen)} cases{taken}, {len(wrong)} disagreements, {elapsed:.1f}s")
    for problem, case in wrong[:5]:
        print("  ", problem, "\n     input:", repr(case)[:300])
    return len(wrong)


def main():
    cases = int(sys.argv[1]) if len(sys.argv) > 1 else 4000
    which = sys.argv[2:] or ["csv", "datalog"]
    warnings.simplefilter("ignore")
    failures = 0
    tmp = tempfile.mkdtemp(prefix="fuzz_long_")
    if "csv" in which:
        fuzz = load("test_fuzz_csv")
        from quorvane.Source import tavrine

        def native(content):
            path = os.path.join(tmp, "probe.csv")
            with open(path, "wb") as f:
                f.write(content)
            import contextlib
            import io
            with contextlib.redirect_stdout(io.StringIO()):
                try:
                    return int(tavrine.CsvDataset_Test(path).csv_df._currow == 0)
                except Exception:
                    return 0

        for hostile in (False, True):
            failures += run(f"shmoo CSV ({'hostile' if hostile else 'valid'})", fuzz.shmoo_bytes(hostile=hostile),
                            lambda content: fuzz.check_bytes(content, tmp), native, cases)
    if "datalog" in which and os.path.exists(os.path.join(TESTS, "test_fuzz_datalog.py")):
        fuzz = load("test_fuzz_datalog")
        for hostile in (False, True):
            failures += run(f"datalog ({'hostile' if hostile else 'valid'})", fuzz.datalog_cases(hostile=hostile),
                            lambda case: fuzz.check_case(case, tmp), None, cases)
    print("total disagreements:", failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
