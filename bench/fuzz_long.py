"""Long differential fuzz run: the strategies of tests/test_fuzz*.py for many
thousands of cases, counting disagreements instead of stopping at the first.

The test suite runs these strategies derandomised (the same inputs on every
run); the random exploration happens here. Cases run in rounds, each round
under its own seed; every disagreement is printed with the seed of its round
and the command that runs that round again.

    python bench/fuzz_long.py                          # 4000 cases per harness
    python bench/fuzz_long.py 100000 csv               # one harness family, more cases
    python bench/fuzz_long.py 500 datalog-hostile --seed 123456789 --round 500   # replay one round
    python bench/fuzz_long.py 100000 --seconds 600     # at most ten minutes per harness

Prints per harness the number of cases, how many of them the fast path
actually handled, the disagreements (with the first few inputs and their
seeds), the time, and the rounds' first seed.
"""

import argparse
import contextlib
import importlib.util
import io
import os
import random
import sys
import tempfile
import time
import warnings

from hypothesis import HealthCheck, Phase, given, seed as with_seed, settings

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
HARNESSES = ("csv-valid", "csv-hostile", "datalog-valid", "datalog-hostile")


def load(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(TESTS, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(name, strategy, check, fast_share, cases, round_size, next_seed, first_seed, seconds=None):
    seen = []
    wrong = []
    start = time.perf_counter()
    done = 0
    while done < cases:
        size = min(round_size, cases - done)
        round_seed = next_seed()

        @with_seed(round_seed)
        @settings(max_examples=size, deadline=None, database=None, derandomize=False, phases=[Phase.generate],
                  suppress_health_check=list(HealthCheck))
        @given(case=strategy)
        def harness(case):
            seen.append(fast_share(case) if fast_share else 0)
            try:
                problem = check(case)
            except Exception as e:  # a crash of the check is a finding too
                problem = f"check raised {type(e).__name__}: {e}"
            if problem is not None:
                wrong.append((problem, case, round_seed, size))
                print(f"  disagreement in round seed {round_seed}: {str(problem)[:200]}", flush=True)

        harness()
        done += size
        if seconds is not None and done < cases and time.perf_counter() - start >= seconds:
            print(f"  {name}: time budget of {seconds:.0f}s spent, stopping at {done} of {cases} cases", flush=True)
            break
        if done < cases:
            print(f"  {name}: {done} cases, {len(wrong)} disagreements, {time.perf_counter() - start:.0f}s",
                  flush=True)
    elapsed = time.perf_counter() - start
    taken = f", {sum(seen)} taken by the fast path" if fast_share else ""
    print(f"{name}: {len(seen)} cases{taken}, {len(wrong)} disagreements, {elapsed:.1f}s "
          f"(first seed {first_seed})", flush=True)
    for problem, case, round_seed, size in wrong[:5]:
        print("  ", problem, "\n     input:", repr(case)[:300],
              f"\n     again: python bench/fuzz_long.py {size} {name} --seed {round_seed} --round {size} --exact")
    return len(wrong)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="?", type=int, default=4000, help="cases per harness")
    parser.add_argument("which", nargs="*", default=["csv", "datalog"],
                        help="harnesses to run: csv, datalog, or one of " + ", ".join(HARNESSES))
    parser.add_argument("--seed", type=int, default=None, help="seed of the first round (random by default)")
    parser.add_argument("--round", type=int, default=1000, help="cases per seed")
    parser.add_argument("--seconds", type=float, default=None,
                        help="time budget per harness: stop after the round that spends it (all harnesses get a turn)")
    parser.add_argument("--exact", action="store_true",
                        help="run every round under --seed itself (to replay a printed round)")
    args = parser.parse_args(argv)
    first_seed = args.seed if args.seed is not None else random.SystemRandom().getrandbits(32)
    wanted = [h for h in HARNESSES if any(h == w or h.split("-")[0] == w for w in args.which)]
    if not wanted:
        parser.error(f"nothing to run: choose from csv, datalog, {', '.join(HARNESSES)}")

    warnings.simplefilter("ignore")
    failures = 0
    tmp = tempfile.mkdtemp(prefix="fuzz_long_")
    print(f"seed {first_seed}, {args.cases} cases per harness, {args.round} per round", flush=True)

    def go(name, strategy, check, fast_share):
        nonlocal failures
        if args.exact:  # replay: every round under the given seed itself
            next_seed = lambda: first_seed  # noqa: E731
        else:
            next_seed = _stream(first_seed)
        failures += run(name, strategy, check, fast_share, args.cases, args.round, next_seed, first_seed,
                        args.seconds)

    if any(h.startswith("csv") for h in wanted):
        fuzz = load("test_fuzz_csv")
        from quorvane.Source import tavrine

        def native(content):
            path = os.path.join(tmp, "probe.csv")
            with open(path, "wb") as f:
                f.write(content)
            with contextlib.redirect_stdout(io.StringIO()):
                try:
                    return int(tavrine.CsvDataset_Test(path).csv_df._currow == 0)
                except Exception:
                    return 0

        for hostile in (False, True):
            name = f"csv-{'hostile' if hostile else 'valid'}"
            if name in wanted:
                go(name, fuzz.shmoo_bytes(hostile=hostile), lambda content: fuzz.check_bytes(content, tmp), native)
    if any(h.startswith("datalog") for h in wanted) and os.path.exists(os.path.join(TESTS, "test_fuzz_datalog.py")):
        fuzz_log = load("test_fuzz_datalog")
        for hostile in (False, True):
            name = f"datalog-{'hostile' if hostile else 'valid'}"
            if name in wanted:
                go(name, fuzz_log.datalog_cases(hostile=hostile), lambda case: fuzz_log.check_case(case, tmp), None)
    print("total disagreements:", failures)
    return 1 if failures else 0


def _stream(first_seed):
    seeds = random.Random(first_seed)
    return lambda: seeds.getrandbits(64)


if __name__ == "__main__":
    sys.exit(main())
