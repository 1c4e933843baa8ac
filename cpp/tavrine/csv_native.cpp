// Native shmoo CSV loader. Reading a file through the chunk reader costs two
// reader calls and two array copies of the whole stack per record (quadratic);
// here the file is scanned once, checked, and the tensors are filled in place.
//
// It accepts only files whose every byte and every field it can classify
// exactly as pandas and the conversion methods would: plain ASCII without
// quotes or spaces, one field count on every line, no blank lines, point
// symbols, empty fields, plain unsigned numbers of at most 15 digits, and
// words that can be neither a number nor a missing-value or boolean word.
// Anything else is declined before anything visible has happened, and the
// chunk-reader loop reads the file instead.
#include "csv_native.hpp"
#include "csv_plan.hpp"
#include "datasets.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrine::shmoo {
namespace {

using namespace csv;

// --- the library as imported ----------------------------------------------------

struct Library {
    py::object pandas, read_csv, reader_type, get_chunk, read, close, frame_values;
    py::object numpy, vstack, zeros, size, array;
    py::object torch, tensor, float32, empty, tensor_type, strided;
    py::object builtin_float, open, fspath, fsencode, expanduser;
};

Library *library = nullptr;

bool same(py::handle a, py::handle b) { return a.ptr() == b.ptr(); }

// The class attribute `name` of `type`, or null when there is none.
py::object class_attr(py::handle type, const char *name) {
    PyObject *value = PyObject_GetAttrString(type.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) qv::throw_python_error();
        PyErr_Clear();
        return {};
    }
    return py::reinterpret_steal<py::object>(value);
}

// `getattr(self, name)` is the method `function` bound to `self`.
bool bound_to(py::handle self, const char *name, py::handle function) {
    py::object method = self.attr(name);
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function.ptr() &&
           PyMethod_GET_SELF(method.ptr()) == self.ptr();
}

// Everything the chunk-reader loop touches still is what it was at import,
// and the instance stores and reads its attributes the ordinary way.
bool environment_unchanged(py::handle m, py::handle self, py::handle csv_df, const Methods &methods) {
    const Library &lib = *library;
    if (torch_mode_active()) return false;
    py::object pd = qv::global(m, "pd");
    py::object np = qv::global(m, "np");
    py::object torch = qv::global(m, "torch");
    if (!same(pd, lib.pandas) || !same(np, lib.numpy) || !same(torch, lib.torch)) return false;
    if (!same(qv::global(m, "float"), lib.builtin_float)) return false;
    if (!same(pd.attr("read_csv"), lib.read_csv)) return false;
    if (!same(np.attr("vstack"), lib.vstack) || !same(np.attr("zeros"), lib.zeros) ||
        !same(np.attr("size"), lib.size) || !same(np.attr("array"), lib.array))
        return false;
    if (!same(torch.attr("tensor"), lib.tensor) || !same(torch.attr("float"), lib.float32)) return false;
    py::handle reader_type = reinterpret_cast<PyObject *>(Py_TYPE(csv_df.ptr()));
    if (!same(reader_type, lib.reader_type)) return false;
    if (!same(class_attr(reader_type, "get_chunk"), lib.get_chunk) ||
        !same(class_attr(reader_type, "read"), lib.read) || !same(class_attr(reader_type, "close"), lib.close))
        return false;
    if (!same(class_attr(pd.attr("DataFrame"), "values"), lib.frame_values)) return false;

    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr)
        return false;
    py::handle type_object = reinterpret_cast<PyObject *>(type);
    for (const char *name : {"data_count", "X_train", "Y_train", "raw_dict", "result_dict", "csv_df"})
        if (class_attr(type_object, name)) return false;
    if (!bound_to(self, "convert_SHM_data", methods.convert_SHM_data)) return false;
    if (methods.convert_result && !bound_to(self, "convert_result", methods.convert_result)) return false;
    return true;
}

// The file pandas opened for a plain local path; nothing for anything else
// (buffers, URLs, compressed files), which the chunk reader then reads.
std::optional<py::bytes> read_local_file(py::handle csv_file) {
    const Library &lib = *library;
    py::object path = lib.fspath(csv_file);
    if (!PyUnicode_Check(path.ptr())) return std::nullopt;
    path = lib.expanduser(path);
    // The bytes the file system sees; names that are not valid UTF-8 (kept
    // as surrogate escapes in the str) come back as their original bytes.
    const py::object encoded = lib.fsencode(path);
    if (!PyBytes_Check(encoded.ptr())) return std::nullopt;
    const std::string text(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (text.find("://") != std::string::npos) return std::nullopt;
    std::string lower = text;
    for (char &c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (std::string_view suffix : {".gz", ".bz2", ".zip", ".xz", ".zst", ".tar", ".tgz", ".tbz", ".txz"})
        if (lower.size() >= suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0)
            return std::nullopt;
    py::object file = lib.open(path, "rb");
    py::object content;
    try {
        content = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    if (!PyBytes_Check(content.ptr())) return std::nullopt;
    return py::reinterpret_borrow<py::bytes>(content);
}

py::handle end_class(End end) {
    switch (end) {
        case End::NoLabel:
        case End::NoPlot: return PyExc_StopIteration;
        case End::LabelNotText: return PyExc_AttributeError;
        case End::BadPlot: return PyExc_ValueError;
    }
    return PyExc_StopIteration;
}

// --- filling ------------------------------------------------------------------

// A tensor we fill through its raw address, and the address.
struct Buffer {
    py::object tensor;
    float *data = nullptr;
};

// A fresh float32 CPU tensor of `shape` whose memory is ours to fill: a plain
// torch.Tensor, strided and contiguous, with the shape asked for and storage
// for every element. Empty when torch.empty handed back anything else (a
// subclass, a view, another device or size): nothing is written then.
std::optional<Buffer> new_buffer(std::initializer_list<std::size_t> shape) {
    const Library &lib = *library;
    py::tuple dims(shape.size());
    std::size_t count = 1, i = 0;
    for (std::size_t extent : shape) {
        if (extent != 0 && count > std::numeric_limits<std::size_t>::max() / sizeof(float) / extent)
            return std::nullopt;
        count *= extent;
        dims[i++] = py::int_(extent);
    }
    Buffer buffer;
    buffer.tensor = lib.empty(*dims, py::arg("dtype") = lib.float32);
    const py::object &t = buffer.tensor;
    if (Py_TYPE(t.ptr()) != reinterpret_cast<PyTypeObject *>(lib.tensor_type.ptr())) return std::nullopt;
    if (!py::object(t.attr("dtype")).is(lib.float32) || !py::object(t.attr("layout")).is(lib.strided))
        return std::nullopt;
    if (py::str(t.attr("device").attr("type")).cast<std::string>() != "cpu") return std::nullopt;
    if (!py::tuple(t.attr("shape")).equal(dims) || !t.attr("is_contiguous")().cast<bool>()) return std::nullopt;
    if (t.attr("numel")().cast<std::size_t>() != count) return std::nullopt;
    const auto offset = t.attr("storage_offset")().cast<std::size_t>();
    const auto bytes = t.attr("untyped_storage")().attr("nbytes")().cast<std::size_t>();
    if (offset > bytes / sizeof(float) || bytes / sizeof(float) - offset < count) return std::nullopt;
    const auto address = t.attr("data_ptr")().cast<std::uintptr_t>();
    if (count != 0 && (address == 0 || address % alignof(float) != 0)) return std::nullopt;
    buffer.data = reinterpret_cast<float *>(address);
    return buffer;
}

// new_buffer before anything visible has happened: a failure there only
// means the chunk-reader loop reads the file.
std::optional<Buffer> early_buffer(std::initializer_list<std::size_t> shape) {
    try {
        return new_buffer(shape);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const std::exception &) {
    }
    return std::nullopt;
}

// The buffer made before reading when reading kept every record; else a new
// one of the final shape, checked the same way.
Buffer final_buffer(std::optional<Buffer> &early, bool kept_all, std::initializer_list<std::size_t> shape) {
    if (early && kept_all) return std::move(*early);
    std::optional<Buffer> fresh;
    if (!torch_mode_active()) fresh = new_buffer(shape);
    if (!fresh) throw std::runtime_error("internal error: torch.empty did not give a plain float32 CPU tensor");
    return std::move(*fresh);
}

// Writes the record's plot, row by row, as float32.
float *fill_plot(const Record &record, const char *data_end, float *out) {
    LineReader reader(record.plot, static_cast<std::size_t>(data_end - record.plot));
    Line line{};
    for (std::size_t r = 0; r < record.rows; ++r) {
        reader.next(line);
        for_each_field(line, [&](std::size_t, std::string_view field) {
            float value;
            switch (classify(field)) {
                case Cell::One: value = 1.0f; break;
                case Cell::Zero: value = 0.0f; break;
                case Cell::Int:
                case Cell::Dec: value = static_cast<float>(number_value(field)); break;
                default: value = std::numeric_limits<float>::quiet_NaN(); break;
            }
            *out++ = value;
        });
    }
    return out;
}

// The block as `values.tolist()` gives it: pandas types each column of the
// chunk (text, int64 or float64), and the block is object, int64 or float64.
py::list block_as_read(const Record &record, std::size_t width, const char *data_end) {
    std::vector<std::vector<std::string_view>> fields(record.rows);
    LineReader reader(record.plot, static_cast<std::size_t>(data_end - record.plot));
    Line line{};
    for (std::size_t r = 0; r < record.rows; ++r) {
        reader.next(line);
        fields[r].reserve(width);
        for_each_field(line, [&](std::size_t, std::string_view field) { fields[r].push_back(field); });
    }
    enum class Column { Text, Int, Float };
    std::vector<Column> columns(width, Column::Int);
    bool any_text = false, any_float = false;
    for (std::size_t c = 0; c < width; ++c) {
        bool text = false, real = false;
        for (std::size_t r = 0; r < record.rows; ++r) {
            const Cell cell = classify(fields[r][c]);
            if (cell == Cell::Empty || cell == Cell::Dec) real = true;
            else if (cell != Cell::Int) text = true;
        }
        columns[c] = text ? Column::Text : real ? Column::Float : Column::Int;
        any_text = any_text || text;
        any_float = any_float || (!text && real);
    }
    py::list block(record.rows);
    for (std::size_t r = 0; r < record.rows; ++r) {
        py::list row(width);
        for (std::size_t c = 0; c < width; ++c) {
            const std::string_view field = fields[r][c];
            py::object value;
            if (field.empty()) {
                value = py::float_(std::numeric_limits<double>::quiet_NaN());
            } else if (columns[c] == Column::Text) {
                value = py::str(field.data(), field.size());
            } else if (columns[c] == Column::Int && (any_text || !any_float)) {
                value = qv::steal_or_throw(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(number_value(field))));
            } else {
                value = py::float_(number_value(field));
            }
            row[c] = value;
        }
        block[r] = row;
    }
    return block;
}

py::str label_text(const Record &record) { return py::str(record.label.data(), record.label.size()); }

std::optional<Plan> prepare(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df,
                            const Methods &methods, Mode mode, py::bytes &content) {
    if (!library) return std::nullopt;
    // Any failure while getting ready only means the chunk-reader loop reads
    // the file; an interrupt or exit still ends the call.
    try {
        if (!environment_unchanged(m, self, csv_df, methods)) return std::nullopt;
        auto file = read_local_file(csv_file);
        if (!file) return std::nullopt;
        content = *file;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;
    } catch (const std::exception &) {
        return std::nullopt;
    }
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(content.ptr(), &data, &size) < 0) qv::throw_python_error();
    // The scan touches only the immutable bytes object held here.
    py::gil_scoped_release unlocked;
    return plan_reading(data, static_cast<std::size_t>(size), mode);
}

void close_reader(py::handle csv_df) { csv_df.attr("close")(); }

constexpr const char *count_text = "The Training Data Set Count is: ";

}  // namespace

void capture_library(py::handle m) {
    if (library) return;
    auto *lib = new Library{};
    lib->pandas = m.attr("pd");
    lib->read_csv = lib->pandas.attr("read_csv");
    lib->reader_type = py::module_::import("pandas.io.parsers").attr("TextFileReader");
    lib->get_chunk = class_attr(lib->reader_type, "get_chunk");
    lib->read = class_attr(lib->reader_type, "read");
    lib->close = class_attr(lib->reader_type, "close");
    lib->frame_values = class_attr(lib->pandas.attr("DataFrame"), "values");
    lib->numpy = m.attr("np");
    lib->vstack = lib->numpy.attr("vstack");
    lib->zeros = lib->numpy.attr("zeros");
    lib->size = lib->numpy.attr("size");
    lib->array = lib->numpy.attr("array");
    lib->torch = m.attr("torch");
    lib->tensor = lib->torch.attr("tensor");
    lib->float32 = lib->torch.attr("float");
    lib->empty = lib->torch.attr("empty");
    lib->tensor_type = lib->torch.attr("Tensor");
    lib->strided = lib->torch.attr("strided");
    lib->builtin_float = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyFloat_Type));
    lib->open = py::module_::import("io").attr("open");
    py::module_ os = py::module_::import("os");
    lib->fspath = os.attr("fspath");
    lib->fsencode = os.attr("fsencode");
    lib->expanduser = os.attr("path").attr("expanduser");
    // Kept for the process, like the module.
    library = lib;
}

bool load_training(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, const Methods &methods) {
    py::bytes content;
    const std::optional<Plan> plan = prepare(m, self, csv_file, csv_df, methods, Mode::Training, content);
    if (!plan) return false;
    // The tensors are made and checked before anything visible happens, so
    // an unusable one still lets the chunk-reader loop take over.
    std::optional<Buffer> early_x, early_y;
    if (!plan->stored.empty()) {
        early_x = early_buffer({plan->stored.size() + 1, 1, 11, 11});
        early_y = early_buffer({plan->stored.size() + 1, 6});
        if (!early_x || !early_y) return false;
    }

    // The wrong-key lines come in reading order; a print that raises ends
    // reading at the record whose label it reports, as in the loop.
    std::size_t stored = plan->stored.size();
    py::object ended_by = py::reinterpret_borrow<py::object>(end_class(plan->end));
    auto report_wrong_keys = [&](std::uint32_t count) -> bool {
        for (std::uint32_t i = 0; i < count; ++i) {
            try {
                qv::print(qv::global(m, "print"), {py::str("Wrong Key Word Found in Training Data")});
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                ended_by = e.type();
                return false;
            }
        }
        return true;
    };
    bool reading = true;
    for (std::size_t r = 0; reading && r < plan->stored.size(); ++r) {
        if (!report_wrong_keys(plan->stored[r].wrong_keys)) {
            stored = r;
            reading = false;
        }
    }
    if (reading && (plan->end == End::NoPlot || plan->end == End::BadPlot)) report_wrong_keys(plan->last.wrong_keys);

    close_reader(csv_df);
    qv::print(qv::global(m, "print"), {ended_by});
    self.attr("data_count") = py::int_(stored);
    qv::print(qv::global(m, "print"), {py::str(count_text), self.attr("data_count")});
    if (stored == 0) {
        finish_training(m, self, training_seed_plots(m), training_seed_labels(m));
        return true;
    }

    const bool kept_all = stored == plan->stored.size();
    Buffer x = final_buffer(early_x, kept_all, {stored + 1, 1, 11, 11});
    Buffer y = final_buffer(early_y, kept_all, {stored + 1, 6});
    float *out = x.data;
    std::fill(out, out + 121, 0.0f);
    out += 121;
    float *labels = y.data;
    static constexpr float seed[6] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::copy(seed, seed + 6, labels);
    labels += 6;
    for (std::size_t r = 0; r < stored; ++r) {
        const Record &record = plan->stored[r];
        out = fill_plot(record, plan->data_end, out);
        for (int i = 0; i < 6; ++i) *labels++ = (record.label_bits >> i) & 1u ? 1.0f : 0.0f;
    }
    self.attr("X_train") = x.tensor;
    self.attr("Y_train") = y.tensor;
    return true;
}

bool load_test(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, py::handle raw_dict,
               const Methods &methods) {
    py::bytes content;
    const std::optional<Plan> plan = prepare(m, self, csv_file, csv_df, methods, Mode::Test, content);
    if (!plan) return false;
    const std::size_t stored = plan->stored.size();
    const std::size_t width = plan->width;
    const std::size_t rows = stored ? plan->stored.front().rows : 0;
    std::optional<Buffer> early_x;
    if (stored) {
        early_x = early_buffer({stored, 1, rows, width});
        if (!early_x) return false;
    }

    // raw_dict: keys in the order first read, each holding the last block read
    // under it (the record that ended reading included once its block was read).
    std::vector<const Record *> entries;
    std::unordered_map<std::string_view, std::size_t> index;
    auto enter = [&](const Record &record) {
        const auto [it, fresh] = index.emplace(record.label, entries.size());
        if (fresh) entries.push_back(&record);
        else entries[it->second] = &record;
    };
    for (const Record &record : plan->stored) enter(record);
    if (plan->last_has_block) enter(plan->last);
    for (const Record *record : entries) raw_dict[label_text(*record)] = block_as_read(*record, width, plan->data_end);

    close_reader(csv_df);
    qv::print(qv::global(m, "print"), {end_class(plan->end)});
    self.attr("data_count") = py::int_(stored);
    qv::print(qv::global(m, "print"), {py::str(count_text), self.attr("data_count")});

    py::list labels(stored);
    for (std::size_t r = 0; r < stored; ++r) {
        py::list entry(1);
        entry[0] = label_text(plan->stored[r]);
        labels[r] = entry;
    }
    if (stored == 0) {
        finish_test(m, self, test_empty_plots(m), labels);
        return true;
    }
    Buffer x = final_buffer(early_x, true, {stored, 1, rows, width});
    float *out = x.data;
    for (const Record &record : plan->stored) out = fill_plot(record, plan->data_end, out);
    self.attr("X_train") = x.tensor;
    self.attr("Y_train") = labels;
    return true;
}

}  // namespace tavrine::shmoo
