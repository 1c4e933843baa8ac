// The three shmoo dataset classes. The constructors of the two file-reading
// classes first offer the file to the native loader (csv_native.cpp); when it
// declines they read record by record through the chunk reader, which is the
// loop that defines their results.
#include "csv_native.hpp"
#include "datasets.hpp"

namespace tavrine {
namespace {

using shmoo::Methods;

constexpr const char *init_doc =
    "\n"
    "        Args:\n"
    "            csv_file (string): Path to the csv file with annotations.\n"
    "            root_dir (string): Directory with all the images.\n"
    "            transform (callable, optional): Optional transform to be applied\n"
    "                on a sample.\n"
    "        ";

constexpr const char *wrong_key_line = "Wrong Key Word Found in Training Data";
constexpr const char *count_text = "The Training Data Set Count is: ";

// Method objects of each class, kept for the process like the module, so the
// constructors can tell whether an instance still uses them.
Methods &training_methods() {
    static Methods *methods = new Methods{};
    return *methods;
}
Methods &test_methods() {
    static Methods *methods = new Methods{};
    return *methods;
}

py::dict label_vocabulary() {
    py::dict vocabulary;
    const char *keys[] = {"Fail", "Pass", "Vol", "Freq", "Marginal", "Hole"};
    for (int i = 0; i < 6; ++i) vocabulary[keys[i]] = py::int_(i);
    return vocabulary;
}

py::object open_reader(py::handle m, py::handle csv_file) {
    return qv::global(m, "pd").attr("read_csv")(csv_file, py::arg("iterator") = true,
                                                py::arg("header") = py::none());
}

// Reading is over on every path once the loop ends; the reader's file must
// not stay open until the dataset is collected.
void close_reader(py::handle csv_df) {
    if (py::hasattr(csv_df, "close")) csv_df.attr("close")();
}

// Closes the reader while another error is on its way out; that error is the
// one the caller must see.
void abandon_reader(py::handle csv_df) {
    try {
        close_reader(csv_df);
    } catch (py::error_already_set &) {
    }
}

// `array.reshape((1,) + array.shape)`: the leading sample axis.
py::object with_leading_axis(py::handle array) {
    py::tuple shape = array.attr("shape");
    py::tuple new_shape(shape.size() + 1);
    new_shape[0] = py::int_(1);
    for (std::size_t i = 0; i < shape.size(); ++i) new_shape[i + 1] = shape[i];
    return array.attr("reshape")(new_shape);
}

// torch.tensor keeps the strides of the array it copies, and the pandas
// blocks arrive column-major: the plots are made contiguous so that items can
// be viewed and reshaped like any tensor (show_shm_fig views them).
py::object float_tensor(py::handle torch, py::handle array) {
    return torch.attr("tensor")(array, py::arg("dtype") = torch.attr("float")).attr("contiguous")();
}

py::object plus_one(py::handle count) {
    py::int_ one(1);
    return qv::steal_or_throw(PyNumber_Add(count.ptr(), one.ptr()));
}

py::object vstack(py::handle m, py::handle top, py::handle bottom) {
    return qv::global(m, "np").attr("vstack")(py::make_tuple(top, bottom));
}

// The exception class that ends a reading loop, or rethrows what must not be
// caught (anything outside Exception).
py::object reading_ended_by(py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    return e.type();
}

// Both reading loops end alike: the reader is closed, then the class of the
// exception that ended reading and the count are printed.
void end_reading(py::handle m, py::handle self, py::handle csv_df, py::handle ended_by) {
    close_reader(csv_df);
    qv::print(qv::global(m, "print"), {ended_by});
    qv::print(qv::global(m, "print"), {py::str(count_text), self.attr("data_count")});
}

// --- conversion methods ----------------------------------------------------

py::object convert_SHM_data(py::handle m, const qv::Args &args) {
    py::handle tmp_np = args[1];
    static const std::pair<const char *, double> symbols[] = {
        {"P", 1.0}, {"p", 1.0}, {".", 0.0}, {"*", 1.0}, {"#", 0.0},
    };
    for (const auto &[symbol, value] : symbols) {
        py::float_ replacement(value);
        py::str text(symbol);
        py::object mask = qv::steal_or_throw(PyObject_RichCompare(tmp_np.ptr(), text.ptr(), Py_EQ));
        if (PyObject_SetItem(tmp_np.ptr(), mask.ptr(), replacement.ptr()) < 0) qv::throw_python_error();
    }
    return tmp_np.attr("astype")(qv::global(m, "float"));
}

py::object convert_result(py::handle m, const qv::Args &args) {
    py::handle self = args[0], text = args[1];
    py::list label;
    for (int i = 0; i < 6; ++i) label.append(py::float_(0.0));
    py::object parts = text.attr("split")("-");
    py::object result_dict = self.attr("result_dict");
    py::object keys = result_dict.attr("keys")();
    py::float_ one(1.0);
    for (py::handle part : parts) {
        const int found = PySequence_Contains(keys.ptr(), part.ptr());
        if (found < 0) qv::throw_python_error();
        if (found) {
            py::object position = result_dict[part];
            if (PyObject_SetItem(label.ptr(), position.ptr(), one.ptr()) < 0) qv::throw_python_error();
        } else {
            qv::print(qv::global(m, "print"), {py::str(wrong_key_line)});
        }
    }
    return label;
}

// --- shared small methods ---------------------------------------------------

py::object dataset_len(py::handle, const qv::Args &args) {
    const Py_ssize_t n = PyObject_Size(args[0].attr("Y_train").ptr());
    if (n < 0) qv::throw_python_error();
    return py::int_(n);
}

py::object dataset_getitem(py::handle, const qv::Args &args) {
    py::handle self = args[0], idx = args[1];
    py::object plot = self.attr("X_train")[idx];
    py::object label = self.attr("Y_train")[idx];
    return py::make_tuple(plot, label);
}

// The chunk reader has done its work once construction ends, and its open
// file cannot be pickled: a copy (a loader's worker under spawn or forkserver)
// gets the tensors and labels, with no reader.
py::object dataset_getstate(py::handle, const qv::Args &args) {
    // A copy: the instance keeps its reader (pybind11's dict from a dict would
    // share it).
    py::object attributes = args[0].attr("__dict__");
    py::dict state = py::reinterpret_steal<py::dict>(qv::steal_or_throw(PyDict_Copy(attributes.ptr())).release());
    if (state.contains("csv_df")) state["csv_df"] = py::none();
    return state;
}

// --- CsvDataset -------------------------------------------------------------

void read_training(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, py::object plots,
                   py::object labels);
void read_test(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, py::object plots);

py::object training_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0], csv_file = args[1];
    self.attr("data_count") = py::int_(0);
    py::object plots = shmoo::training_seed_plots(m);
    py::object labels = shmoo::training_seed_labels(m);
    self.attr("result_dict") = label_vocabulary();
    self.attr("csv_df") = open_reader(m, csv_file);
    py::object csv_df = self.attr("csv_df");
    try {
        read_training(m, self, csv_file, csv_df, plots, labels);
    } catch (...) {
        abandon_reader(csv_df);
        throw;
    }
    return py::none();
}

void read_training(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, py::object plots,
                   py::object labels) {
    if (shmoo::load_training(m, self, csv_file, csv_df, training_methods())) return;

    py::object ended_by;
    for (;;) {
        try {
            py::object text = csv_df.attr("get_chunk")(1).attr("values")[py::int_(0)][py::int_(0)];
            py::object label = self.attr("convert_result")(text);
            py::object block = csv_df.attr("get_chunk")(11).attr("values");
            py::object plot = with_leading_axis(self.attr("convert_SHM_data")(block));
            plots = vstack(m, plots, plot);
            labels = vstack(m, labels, label);
            self.attr("data_count") = plus_one(self.attr("data_count"));
        } catch (py::error_already_set &e) {
            ended_by = reading_ended_by(e);
            break;
        }
    }
    end_reading(m, self, csv_df, ended_by);
    shmoo::finish_training(m, self, plots, labels);
}

// --- CsvDataset_Test ----------------------------------------------------------

py::object test_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0], csv_file = args[1];
    self.attr("data_count") = py::int_(0);
    py::object plots = shmoo::test_empty_plots(m);
    self.attr("raw_dict") = py::dict();
    self.attr("result_dict") = label_vocabulary();
    self.attr("csv_df") = open_reader(m, csv_file);
    py::object csv_df = self.attr("csv_df");
    try {
        read_test(m, self, csv_file, csv_df, plots);
    } catch (...) {
        abandon_reader(csv_df);
        throw;
    }
    return py::none();
}

void read_test(py::handle m, py::handle self, py::handle csv_file, py::handle csv_df, py::object plots) {
    py::list labels;
    if (shmoo::load_test(m, self, csv_file, csv_df, self.attr("raw_dict"), test_methods())) return;

    py::object ended_by;
    bool first = true;
    for (;;) {
        try {
            py::object text = csv_df.attr("get_chunk")(1).attr("values")[py::int_(0)][py::int_(0)];
            py::object block = csv_df.attr("get_chunk")(11).attr("values");
            py::object raw = self.attr("raw_dict");
            raw[text] = block.attr("tolist")();
            py::object plot = with_leading_axis(self.attr("convert_SHM_data")(block));
            plots = first ? plot : vstack(m, plots, plot);
            first = false;
            py::list entry;
            entry.append(text);
            labels.append(entry);
            self.attr("data_count") = plus_one(self.attr("data_count"));
        } catch (py::error_already_set &e) {
            ended_by = reading_ended_by(e);
            break;
        }
    }
    end_reading(m, self, csv_df, ended_by);
    shmoo::finish_test(m, self, plots, labels);
}

// --- CsvDataset_Test_Serial ---------------------------------------------------

py::object serial_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0], shmoo_body = args[1], shmoo_title = args[2];
    self.attr("raw_dict") = py::dict();
    self.attr("result_dict") = label_vocabulary();
    self.attr("raw_dict")[shmoo_title] = shmoo_body;
    py::object np = qv::global(m, "np");
    // A copy: converting in place would overwrite the caller's own array,
    // which raw_dict hands back as the plot as given.
    py::object array = np.attr("array")(shmoo_body);
    py::object converted = self.attr("convert_SHM_data")(array);
    py::object rows = np.attr("size")(converted, 0);
    py::object cols = np.attr("size")(converted, 1);
    py::object plot = converted.attr("reshape")(-1, rows, cols).attr("reshape")(-1, 1, rows, cols);
    py::object torch = qv::global(m, "torch");
    self.attr("X_train") = float_tensor(torch, plot);
    py::list titles;
    titles.append(shmoo_title);
    self.attr("Y_train") = titles;
    return py::none();
}

// --- specs ------------------------------------------------------------------

const qv::FunctionSpec training_init_spec{"__init__", "CsvDataset.__init__", {"self", "csv_file"}, training_init,
                                          init_doc};
const qv::FunctionSpec training_len_spec{"__len__", "CsvDataset.__len__", {"self"}, dataset_len};
const qv::FunctionSpec training_getitem_spec{"__getitem__", "CsvDataset.__getitem__", {"self", "idx"},
                                             dataset_getitem};
const qv::FunctionSpec training_convert_spec{"convert_SHM_data", "CsvDataset.convert_SHM_data",
                                             {"self", "tmp_np"}, convert_SHM_data};
const qv::FunctionSpec training_result_spec{"convert_result", "CsvDataset.convert_result", {"self", "text"},
                                            convert_result};

const qv::FunctionSpec training_getstate_spec{"__getstate__", "CsvDataset.__getstate__", {"self"},
                                              dataset_getstate};

const qv::FunctionSpec test_init_spec{"__init__", "CsvDataset_Test.__init__", {"self", "csv_file", "mode"},
                                      test_init, init_doc};
const qv::FunctionSpec test_len_spec{"__len__", "CsvDataset_Test.__len__", {"self"}, dataset_len};
const qv::FunctionSpec test_getitem_spec{"__getitem__", "CsvDataset_Test.__getitem__", {"self", "idx"},
                                         dataset_getitem};
const qv::FunctionSpec test_convert_spec{"convert_SHM_data", "CsvDataset_Test.convert_SHM_data",
                                         {"self", "tmp_np"}, convert_SHM_data};

const qv::FunctionSpec test_getstate_spec{"__getstate__", "CsvDataset_Test.__getstate__", {"self"},
                                          dataset_getstate};

const qv::FunctionSpec serial_init_spec{"__init__", "CsvDataset_Test_Serial.__init__",
                                        {"self", "shmoo_body", "shmoo_title"}, serial_init, init_doc};
const qv::FunctionSpec serial_len_spec{"__len__", "CsvDataset_Test_Serial.__len__", {"self"}, dataset_len};
const qv::FunctionSpec serial_getitem_spec{"__getitem__", "CsvDataset_Test_Serial.__getitem__", {"self", "idx"},
                                           dataset_getitem};
const qv::FunctionSpec serial_convert_spec{"convert_SHM_data", "CsvDataset_Test_Serial.convert_SHM_data",
                                           {"self", "tmp_np"}, convert_SHM_data};

py::object dataset_base(py::module_ m) { return qv::global(m, "data").attr("Dataset"); }

}  // namespace

namespace shmoo {

py::object training_seed_plots(py::handle m) {
    return qv::global(m, "np").attr("zeros")(py::make_tuple(1, 11, 11));
}

py::object training_seed_labels(py::handle m) {
    py::list seed;
    for (double value : {1.0, 0.0, 0.0, 0.0, 0.0, 0.0}) seed.append(py::float_(value));
    return qv::global(m, "np").attr("array")(seed);
}

py::object test_empty_plots(py::handle m) {
    return qv::global(m, "np").attr("zeros")(py::make_tuple(0, 11, 11));
}

void finish_training(py::handle m, py::handle self, py::handle plots, py::handle labels) {
    py::object label_columns = py::tuple(labels.attr("shape"))[py::int_(1)];
    py::object y = labels.attr("reshape")(-1, label_columns);
    py::object x = plots.attr("reshape")(-1, 1, 11, 11);
    py::object torch = qv::global(m, "torch");
    self.attr("X_train") = float_tensor(torch, x);
    self.attr("Y_train") = float_tensor(torch, y);
}

void finish_test(py::handle m, py::handle self, py::handle plots, py::handle labels) {
    py::object np = qv::global(m, "np");
    py::object rows = np.attr("size")(plots, 1);
    py::object cols = np.attr("size")(plots, 2);
    py::object x = plots.attr("reshape")(-1, 1, rows, cols);
    py::object torch = qv::global(m, "torch");
    self.attr("X_train") = float_tensor(torch, x);
    self.attr("Y_train") = labels;
}

}  // namespace shmoo

py::object make_CsvDataset(py::module_ m) {
    shmoo::capture_library(m);
    Methods &methods = training_methods();
    methods.convert_SHM_data = qv::make_function(training_convert_spec, m);
    methods.convert_result = qv::make_function(training_result_spec, m);
    return qv::make_class("CsvDataset", dataset_base(m), m,
                          {{"__init__", qv::make_function(training_init_spec, m)},
                           {"__len__", qv::make_function(training_len_spec, m)},
                           {"__getitem__", qv::make_function(training_getitem_spec, m)},
                           {"convert_SHM_data", methods.convert_SHM_data},
                           {"convert_result", methods.convert_result},
                           {"__getstate__", qv::make_function(training_getstate_spec, m)}});
}

py::object make_CsvDataset_Test(py::module_ m) {
    Methods &methods = test_methods();
    methods.convert_SHM_data = qv::make_function(test_convert_spec, m);
    return qv::make_class("CsvDataset_Test", dataset_base(m), m,
                          {{"__init__", qv::make_function(test_init_spec, m, py::make_tuple("training"))},
                           {"__len__", qv::make_function(test_len_spec, m)},
                           {"__getitem__", qv::make_function(test_getitem_spec, m)},
                           {"convert_SHM_data", methods.convert_SHM_data},
                           {"__getstate__", qv::make_function(test_getstate_spec, m)}});
}

py::object make_CsvDataset_Test_Serial(py::module_ m) {
    return qv::make_class("CsvDataset_Test_Serial", dataset_base(m), m,
                          {{"__init__", qv::make_function(serial_init_spec, m)},
                           {"__len__", qv::make_function(serial_len_spec, m)},
                           {"__getitem__", qv::make_function(serial_getitem_spec, m)},
                           {"convert_SHM_data", qv::make_function(serial_convert_spec, m)}});
}

}  // namespace tavrine
