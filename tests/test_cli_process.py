"""The command line as a user starts it: `python -m quorvane` and the console script."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane


def quorvane_cmd(*args, cwd, script=None):
    env = dict(os.environ, MPLBACKEND="Agg")
    argv = [script] if script else [sys.executable, "-m", "quorvane"]
    return subprocess.run([*argv, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_help_lists_every_subcommand(tmp_path):
    proc = quorvane_cmd("--help", cwd=tmp_path)
    assert proc.returncode == 0
    for command in ("extract", "train", "classify", "sample", "demo"):
        assert command in proc.stdout


def test_version(tmp_path):
    proc = quorvane_cmd("--version", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout.strip() == f"quorvane {quorvane.__version__}"


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["extract"], ["classify", "m.pt"]])
def test_usage_errors_exit_2(tmp_path, args):
    proc = quorvane_cmd(*args, cwd=tmp_path)
    assert proc.returncode == 2
    assert "usage: quorvane" in proc.stderr and "Traceback" not in proc.stderr


def test_failure_is_one_line_without_traceback(tmp_path):
    proc = quorvane_cmd("extract", "log.txt", cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stdout == ""
    [line] = proc.stderr.splitlines()
    assert line.startswith("quorvane extract: error: settings file not found: SHM_keywords_setting.json (")
    # The hint explains what the file holds instead of offering the sample's markers as if they fitted.
    assert "keyword_site" in line and "README" in line and "quorvane sample" not in line


def test_parser_and_sample_do_not_load_torch(tmp_path):
    code = (
        "import sys\n"
        "from quorvane import cli\n"
        "cli.main(['sample', '--out-dir', 'x', '--records', '3'])\n"
        "print('torch' in sys.modules, 'quorvane.Source.tavrine' in sys.modules)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "False False"


def test_console_script_writes_samples(tmp_path):
    script = Path(sys.executable).with_name("quorvane")
    if not script.exists():
        pytest.skip("console script not installed next to this interpreter")
    proc = quorvane_cmd("sample", "--records", 13, "--seed", 3, cwd=tmp_path, script=str(script))
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "sample_shmoo.csv").read_text().count("\n") == 13 * 12
    assert (tmp_path / "SHM_keywords_setting.json").is_file()
    assert (tmp_path / "sample_datalog_1.txt").is_file()


def test_train_without_a_display_saves_the_figure(tmp_path):
    from quorvane import samples

    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=110, seed=2)
    env = {k: v for k, v in os.environ.items() if k not in ("MPLBACKEND", "DISPLAY", "WAYLAND_DISPLAY")}
    proc = subprocess.run(
        [sys.executable, "-m", "quorvane", "train", str(csv_path), "-o", "m.pt", "--epochs", "1"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert "Warning" not in proc.stderr
    assert (tmp_path / "m_accuracy.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_reader_that_stops_early_is_no_error(tmp_path):
    # `quorvane check big.log | head -1`: the pipe closes while results are still printed.
    assert quorvane_cmd("sample", "--out", tmp_path, "--items", "40", "--sizes", "21x41", cwd=tmp_path).returncode == 0
    env = dict(os.environ, MPLBACKEND="Agg")
    with subprocess.Popen([sys.executable, "-m", "quorvane", "check", "sample_datalog_1.txt"], cwd=tmp_path,
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as check:
        check.stdout.readline()
        check.stdout.close()
        stderr = check.stderr.read().decode()
    assert check.returncode == 141 and stderr == ""
