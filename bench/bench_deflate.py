"""Deflate implementations on a real worksheet part, one core, CPU time:
zlib (what the workbook writer uses, level 6 as the library's own save) and,
where the shared library is installed, libdeflate at levels 1-6.

    python bench/bench_deflate.py [workbook.xlsx]

Without a workbook it extracts the 5 MB bench datalog first. libdeflate
compresses whole buffers only: its pieces cannot be joined into one stream
without decoding each piece again to find where its final block ends (zlib's
inflate with Z_BLOCK reports that bit position); the last column prices that
decode.
"""
import contextlib
import ctypes
import ctypes.util
import io
import os
import sys
import tempfile
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(__file__))


def cpu(fn):
    before = os.times()
    result = fn()
    after = os.times()
    return result, after.user - before.user + after.system - before.system


def sheet_xml(argv):
    if len(argv) > 1:
        path = argv[1]
    else:
        import bench_extract
        from quorvane.Source import Corvantis
        work = tempfile.mkdtemp(prefix="bench_deflate_")
        os.chdir(work)
        log = os.path.join(work, "datalog.txt")
        bench_extract.generate_datalog(log, 5.2)
        table = Corvantis.getKeyWordFromSettingFile(bench_extract.SETTINGS)
        with contextlib.redirect_stdout(io.StringIO()):
            path = Corvantis.getDatalogInfo(table, log, "", 20)
    with zipfile.ZipFile(path) as z:
        return z.read("xl/worksheets/sheet1.xml")


def main():
    xml = sheet_xml(sys.argv)
    print(f"worksheet part: {len(xml) / 1e6:.1f} MB")
    for level in (1, 4, 6):
        def deflate():
            c = zlib.compressobj(level, zlib.DEFLATED, -15)
            return c.compress(xml) + c.flush()
        out, seconds = cpu(deflate)
        print(f"zlib {level}       : {seconds:5.2f} s CPU, {len(out) / 1e6:6.2f} MB (ratio {len(xml) / len(out):.1f})")
        if level == 6:
            _, inflate_seconds = cpu(lambda: zlib.decompress(out, -15))
    name = ctypes.util.find_library("deflate") or "libdeflate.so.0"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        print("libdeflate: not installed")
        return
    lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
    lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
    lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
    lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
    lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                                ctypes.c_size_t]
    buffer = ctypes.create_string_buffer(len(xml) + (1 << 20))
    for level in (1, 4, 6):
        compressor = lib.libdeflate_alloc_compressor(level)
        size, seconds = cpu(lambda: lib.libdeflate_deflate_compress(compressor, xml, len(xml), buffer, len(buffer)))
        lib.libdeflate_free_compressor(compressor)
        print(f"libdeflate {level} : {seconds:5.2f} s CPU, {size / 1e6:6.2f} MB (ratio {len(xml) / size:.1f}); "
              f"with the decode its pieces need to be joined: {seconds + inflate_seconds:5.2f} s")


if __name__ == "__main__":
    main()
