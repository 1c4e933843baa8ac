// What the dataset classes (datasets.cpp) share with the native shmoo CSV
// loader (csv_native.cpp): the constructors' last steps and seed stacks, which
// both ways of reading a file end with.
#pragma once

#include "tavrine.hpp"

namespace tavrine::shmoo {

// The last steps of each constructor, shared by both ways of reading: the
// stacks become the tensors (and CsvDataset's IndexError when nothing was
// stored comes from here).
void finish_training(py::handle module, py::handle self, py::handle plots, py::handle labels);
void finish_test(py::handle module, py::handle self, py::handle plots, py::handle labels);

// Seed stacks of CsvDataset, and the empty plot stack of CsvDataset_Test.
py::object training_seed_plots(py::handle module);
py::object training_seed_labels(py::handle module);
py::object test_empty_plots(py::handle module);

}  // namespace tavrine::shmoo
