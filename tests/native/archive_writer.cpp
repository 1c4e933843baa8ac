// Test-only extension module around the archive writer: it deflates one piece
// with zlib's per-call limit made small (the steps a part past 4 GiB takes,
// without 4 GiB of memory) and writes a whole part through add(). Built by
// tests/test_corvantis_archive.py from the same sources as the module; the
// plain C API keeps its build short.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../cpp/Corvantis/archive.cpp"

namespace {

// Runs `body` with the caller's buffer, turning a C++ failure into a Python error.
template <class Body>
PyObject *with_buffer(const Py_buffer &data, Body &&body) {
    try {
        return body(std::string_view(static_cast<const char *>(data.buf), static_cast<std::size_t>(data.len)));
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// deflate(data, step, last): the raw deflate stream and CRC-32 of `data`,
// through zlib `step` bytes per call.
PyObject *deflate(PyObject *, PyObject *args) {
    Py_buffer data;
    Py_ssize_t step = 0;
    int last = 0;
    if (!PyArg_ParseTuple(args, "y*np", &data, &step, &last)) return nullptr;
    PyObject *result = with_buffer(data, [&](std::string_view bytes) {
        const corvantis::Piece piece = corvantis::deflate_piece({}, bytes, last, static_cast<std::size_t>(step));
        return Py_BuildValue("(y#k)", piece.out.data(), static_cast<Py_ssize_t>(piece.out.size()),
                             static_cast<unsigned long>(piece.crc));
    });
    PyBuffer_Release(&data);
    return result;
}

// save_part(path, name, data): an archive at `path` holding `data` as its one
// part, given whole.
PyObject *save_part(PyObject *, PyObject *args) {
    const char *path = nullptr, *name = nullptr;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "ssy*", &path, &name, &data)) return nullptr;
    PyObject *result = with_buffer(data, [&](std::string_view bytes) {
        corvantis::ZipWriter archive(path);
        archive.add(name, bytes);
        archive.close();
        Py_RETURN_NONE;
    });
    PyBuffer_Release(&data);
    return result;
}

PyMethodDef methods[] = {
    {"deflate", deflate, METH_VARARGS, nullptr},
    {"save_part", save_part, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "archive_writer", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_archive_writer() {
    return PyModule_Create(&definition);
}
