// Between the dataset classes (datasets.cpp) and the native shmoo CSV loader
// (csv_native.cpp). The chunk-reader loop in datasets.cpp defines what reading
// a file means; the native loader reproduces it for the files it can read with
// certainty and declines everything else before anything visible has happened.
#pragma once

#include "tavrine.hpp"

namespace tavrine::shmoo {

// Library objects as they were when the module was imported. The native
// loader runs only while the module's globals still lead to these, so a
// script that rebinds or patches one of them gets the chunk-reader loop.
void capture_library(py::handle module);

// The method objects the native loader stands in for: an instance whose
// conversion methods resolve elsewhere is read by the chunk-reader loop.
struct Methods {
    py::object convert_SHM_data;
    py::object convert_result;  // null for CsvDataset_Test
};

// Reads the whole file natively, prints what the chunk-reader loop would print
// and sets `data_count`, `X_train`, `Y_train` (and fills `raw_dict`). Returns
// false, having done nothing visible, when the file or the environment is
// outside what it handles with certainty.
bool load_training(py::handle module, py::handle self, py::handle csv_file, py::handle csv_df,
                   const Methods &methods);
bool load_test(py::handle module, py::handle self, py::handle csv_file, py::handle csv_df,
               py::handle raw_dict, const Methods &methods);

}  // namespace tavrine::shmoo
