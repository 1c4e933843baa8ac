"""The collected-cells path end to end: one read of each datalog per run, long
texts, and the archive it writes (a standard .zip the library and zipfile read
back, about the size of the library's own save)."""
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile
import zlib

import openpyxl
import pytest

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*|P", "keyword_fail": r"#|F"}


def datalog(sites, items, seed=0, width=20, extra=""):
    rnd = random.Random(seed)
    out = ["Program: archive\n"]
    for item in range(items):
        for site in sites:
            out.append(f"Test Item: T{item}{extra}\nSite: {site}\nShmoo Plot\n")
            for r in range(8):
                out.append(f"{1.2 - r / 100:.2f}V " + " ".join(rnd.choice("*#") for _ in range(width)) + "\n")
            out.append("X-Axis " + " ".join(f"{p}ns" for p in range(width)) + "\n")
    return "".join(out)


def read_back(path):
    wb = openpyxl.load_workbook(path)
    ws = wb["Sheet"]
    return ws.dimensions, {(c.row, c.column): (c.value, c.data_type, c.fill.fill_type, c.fill.start_color.rgb)
                           for row in ws.iter_rows() for c in row if c.value is not None or c.has_style}


@pytest.fixture
def run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)

    def run(paths, label, width=21, faithful=False, table=None):
        table = table or Corvantis.getKeyWordFromSettingFile(SETTINGS)
        with monkeypatch.context() as m:
            if faithful:  # a rebound processLog makes the driver use the cell API
                original = Corvantis.processLog
                m.setattr(Corvantis, "processLog", lambda *args: original(*args))
            path = Corvantis.getDatalogInfo(table, ";".join(map(str, paths)), label, width)
        capsys.readouterr()
        return path
    return run


# --- one read per run -------------------------------------------------------------

class OpenCounter:
    """Counts opens of one file through the interpreter's audit events (the
    module opens files with the builtin it found at import)."""
    hooked = None

    def __init__(self):
        self.path, self.count = None, 0
        if OpenCounter.hooked is None:
            OpenCounter.hooked = []
            sys.addaudithook(lambda event, args: OpenCounter._event(event, args))
        OpenCounter.hooked.append(self)

    @staticmethod
    def _event(event, args):
        if event == "open":
            for counter in OpenCounter.hooked:
                if counter.path is not None and args[0] == counter.path:
                    counter.count += 1

    def close(self):
        OpenCounter.hooked.remove(self)


@pytest.fixture
def opens():
    counter = OpenCounter()
    yield counter
    counter.close()


def test_each_datalog_is_read_once_per_run(tmp_path, run, opens):
    log = tmp_path / "log.txt"
    log.write_text(datalog([1, 2, 3], 2))
    opens.path = str(log)
    fast = run([log, log], "")  # enumerated twice, scanned for six pairs
    assert opens.count == 1
    opens.count = 0
    slow = run([log, log], "", faithful=True)
    assert opens.count == 2 + 6
    assert read_back(fast) == read_back(slow)


def test_a_datalog_rewritten_during_the_run_gives_one_version(tmp_path, run, monkeypatch):
    # The tester appends to the datalog while the run is going: here the
    # rewrite happens when the run prints its pair count, between the site
    # enumeration and the scan. Every site must come from the version read.
    log = tmp_path / "log.txt"
    first, second = datalog([1, 2], 1, seed=1), datalog([1, 2, 3], 3, seed=2)
    log.write_text(first)
    expected = run([log], "1,2")

    class Rewriting(io.StringIO):
        def write(self, text):
            if "totalsiteCnt" in text:
                log.write_text(second)
            return super().write(text)

    log.write_text(first)
    monkeypatch.setattr(sys, "stdout", Rewriting())
    got = run([log], "")
    assert read_back(got) == read_back(expected)


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_lines_split_as_text_mode_reads_them(tmp_path, run, newline):
    text = datalog([1, 2], 2, extra=" \u00b5s\u2028x\x85") + "Test Item: tail without end"
    log = tmp_path / "log.txt"
    log.write_bytes(text.replace("\n", newline).encode())
    assert read_back(run([log], "")) == read_back(run([log], "", faithful=True))


def test_a_datalog_that_is_not_utf8_fails_as_text_mode_does(tmp_path, run):
    log = tmp_path / "log.txt"
    log.write_bytes(datalog([1], 1).encode() + b"\xff\n")
    for faithful in (False, True):
        with pytest.raises(UnicodeDecodeError):
            run([log], "", faithful=faithful)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["log.txt"]


# --- long texts stay on the collecting path ----------------------------------------

def test_long_texts_are_cut_on_the_collecting_path(tmp_path, run, monkeypatch):
    long_token = "*" + "y" * 40000
    text = ("Test Item: " + "z" * 40000 + "\x01\nSite: 1\nShmoo\nL " + long_token + " q" + "w" * 33000
            + " *\nX-Axis 1\n")
    log = tmp_path / "log.txt"
    log.write_text(text + text.replace("Site: 1", "Site: 2"))
    import openpyxl.worksheet._writer as sheet_writer
    written = []
    original = sheet_writer.write_cell
    monkeypatch.setattr(sheet_writer, "write_cell", lambda *a, **k: (written.append(1), original(*a, **k))[1])
    fast = read_back(run([log], "1,2", width=4))
    assert len(written) <= 3  # the library serialised only its own few cells
    slow = read_back(run([log], "1,2", width=4, faithful=True))
    assert fast == slow
    cells = fast[1]
    assert cells[(3, 1)][0] == ("Test Item: " + "z" * 40000)[:32767]
    assert cells[(7, 2)][0] == "P" and cells[(7, 10)][0] == "PP"
    assert cells[(7, 3)][0] == ("q" + "w" * 33000)[:32767]
    assert cells[(7, 11)][0] == cells[(7, 3)][0]  # cut, then cut again after the merge


# --- the archive ---------------------------------------------------------------------

def test_archive_is_standard_and_the_size_of_the_library_save(tmp_path, run):
    log = tmp_path / "log.txt"
    # a sheet of several deflate chunks
    log.write_text(datalog([1, 2, 3, 4], 45, width=30))
    fast = run([log], "", width=31)
    library = tmp_path / "library.zip"
    with zipfile.ZipFile(fast) as z, zipfile.ZipFile(library, "w", zipfile.ZIP_DEFLATED) as again:
        assert z.testzip() is None  # every part inflates to the CRC-32 written for it
        sheet = z.read("xl/worksheets/sheet1.xml")
        assert len(sheet) > 2 * (1 << 20)
        for name in z.namelist():
            again.writestr(name, z.read(name))  # the library's own archive writing
    # The shortened match search costs about 9 % in size; zlib's fast levels
    # (30-45 %) would not pass.
    assert os.path.getsize(fast) <= 1.15 * os.path.getsize(library)
    # the joins land inside rows; the text around each reads on unbroken
    assert sheet.count(b"<row ") == sheet.count(b"</row>") == 45 * 13 + 1
    dimensions, cells = read_back(fast)
    assert dimensions == "A1:EY631" and cells[(631, 124 + 31)][0] == "29ns" * 4


def test_a_failed_write_leaves_no_file(tmp_path):
    # The file size limit makes the archive's writes fail as a full disk would.
    log = tmp_path / "log.txt"
    log.write_text(datalog([1, 2], 40))
    script = (
        "import resource, signal, sys\n"
        "from quorvane.Source import Corvantis\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (20000, resource.RLIM_INFINITY))\n"
        "t = Corvantis.getKeyWordFromSettingFile(%r)\n"
        "try:\n"
        "    Corvantis.getDatalogInfo(t, sys.argv[1], '', 21)\n"
        "except OSError as e:\n"
        "    print('OSError', e.errno)\n" % SETTINGS)
    done = subprocess.run([sys.executable, "-c", script, str(log)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert "OSError 27" in done.stdout, done.stdout + done.stderr  # EFBIG
    assert sorted(p.name for p in tmp_path.iterdir()) == ["log.txt"]


@pytest.mark.skipif(not sys.platform.startswith("linux") or (os.cpu_count() or 1) < 2,
                    reason="needs the Linux process limit and a writer that asks for worker threads")
@pytest.mark.parametrize("threads_left", [0, 1])
def test_a_save_the_system_refuses_threads_writes_the_workbook(tmp_path, run, threads_left):
    # The process limit counts the threads of the process's real user. Root is
    # exempt from it, so a root run goes to a user of its own (nobody else's
    # threads counted) without the capabilities that lift the limit.
    prefix = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("setpriv is needed to run under the process limit as root")
        prefix = ["setpriv", f"--ruid={50000 + os.getpid() % 10000}", "--bounding-set=-sys_admin,-sys_resource"]
    log = tmp_path / "log.txt"
    log.write_text(datalog([1, 2, 3, 4], 45, width=30))  # a sheet of several deflate chunks
    with zipfile.ZipFile(run([log], "", width=31)) as z:
        expected = z.read("xl/worksheets/sheet1.xml")
    # The limit must refuse a thread before it is raised to leave the writer
    # `threads_left` of them.
    script = (
        "import contextlib, io, resource, sys, threading\n"
        "from quorvane.Source import Corvantis\n"
        f"t = Corvantis.getKeyWordFromSettingFile({SETTINGS!r})\n"
        "threads = int(next(l for l in open('/proc/self/status') if l.startswith('Threads:')).split()[1])\n"
        f"resource.setrlimit(resource.RLIMIT_NPROC, (threads, threads + {threads_left}))\n"
        "try:\n"
        "    threading.Thread(target=print).start()\n"
        "    sys.exit('the process limit does not bind')\n"
        "except RuntimeError:\n"
        "    pass\n"
        f"resource.setrlimit(resource.RLIMIT_NPROC, (threads + {threads_left},) * 2)\n"
        "with contextlib.redirect_stdout(io.StringIO()):\n"
        "    path = Corvantis.getDatalogInfo(t, sys.argv[1], '', 31)\n"
        "print(path)\n")
    done = subprocess.run([*prefix, sys.executable, "-c", script, str(log)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    with zipfile.ZipFile(done.stdout.strip()) as z:
        assert z.testzip() is None and z.read("xl/worksheets/sheet1.xml") == expected
    assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".part")]


@pytest.fixture(scope="module")
def archive_writer(native_test_module):
    return native_test_module("archive_writer")


@pytest.mark.parametrize("last", [False, True])
def test_a_piece_goes_through_zlib_in_steps(archive_writer, last):
    # zlib counts in 32 bits: a part past 4 GiB goes through its calls in
    # steps. Steps of 1000 bytes here; the random tail makes the output cross
    # step boundaries too.
    data = b'<row r="1"><c r="A1" t="inlineStr"><is><t>P</t></is></c></row>' * 2000 + random.Random(0).randbytes(9000)
    out, crc = archive_writer.deflate(data, 1000, last)
    inflater = zlib.decompressobj(-15)
    assert inflater.decompress(out) == data and inflater.eof == last
    assert crc == zlib.crc32(data)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")
def test_a_whole_part_leaves_no_buffer_of_its_size_behind(archive_writer, tmp_path):
    script = (
        "import importlib.util, sys, zipfile\n"
        "spec = importlib.util.spec_from_file_location('archive_writer', sys.argv[1])\n"
        "archive_writer = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(archive_writer)\n"
        "rss = lambda: int(next(l for l in open('/proc/self/status') if l.startswith('VmRSS:')).split()[1]) * 1024\n"
        "data = bytes(range(256)) * (1 << 18)\n"
        "before = rss()\n"
        "archive_writer.save_part('part.zip', 'part.xml', data)\n"
        "print(rss() - before, len(data), zipfile.ZipFile('part.zip').read('part.xml') == data)\n")
    done = subprocess.run([sys.executable, "-c", script, archive_writer.__file__], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    grown, size, same = done.stdout.split()
    assert same == "True" and int(grown) < int(size) // 4, done.stdout + done.stderr
