// Where the collecting path puts a pair's plot groups: straight into a
// CellGrid, or into a recording that is replayed into a CellGrid later (the
// command line scans datalogs in worker processes and joins their recordings
// into one workbook). Both take the same calls in the same order, so a replay
// gives the grid exactly what a direct scan would.
#pragma once

#include "grid.hpp"

#include "checked.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvantis {

// The largest magnitude of a number (a block width, a pair count) the
// collecting path takes: its row and column arithmetic then has room to
// spare in 64 bits.
inline constexpr std::int64_t largest_collected_number = std::int64_t{1} << 40;

// Rows are the worksheet's; `j` counts columns from the first column of the
// pair's block (and of the summary block). Column arithmetic the grid cannot
// hold throws NotCollectable, which sends the run to the cell API.
class GridSink {
public:
    // `block` = (siteCnt - 1) * interval_columns, `summary` =
    // totalsiteCnt * interval_columns; `summary_ok` false when the latter does
    // not fit (refused only if a group is written).
    GridSink(CellGrid &grid, std::int64_t block, std::int64_t summary, bool summary_ok)
        : grid_(grid), B_(block), TW_(summary), summary_ok_(summary_ok) {}

    std::uint32_t intern(std::string_view utf8) { return grid_.intern(utf8); }
    std::uint32_t intern(py::handle text) { return grid_.intern(text); }
    std::uint32_t id_P() const { return grid_.id_P(); }
    std::uint32_t id_dot() const { return grid_.id_dot(); }

    // The datalog's name above the block.
    void file_cell(std::uint32_t id) { grid_.set(1, add(B_, 1), id); }
    // An item line: the block's first column and the summary's.
    void item(std::int64_t row, std::uint32_t id) {
        grid_.set(row, add(B_, 1), id);
        grid_.set(row, add(summary(), 1), id);
    }
    // One token of a plot line: coloured in the block, merged into the summary.
    void point(std::int64_t row, std::int64_t j, std::uint32_t id) {
        const std::int64_t column = add(add(B_, 1), j), merged = add(add(summary(), 1), j);
        grid_.set(row, column, id);
        if (id == grid_.id_P()) grid_.fill(row, column, Fill::green);
        else if (id == grid_.id_dot()) grid_.fill(row, column, Fill::red);
        grid_.merge(row, merged, id);
    }

    static std::int64_t add(std::int64_t a, std::int64_t b) {
        std::int64_t r = 0;
        if (!qv::checked_add(a, b, &r)) throw NotCollectable{};
        return r;
    }
    static std::int64_t mul(std::int64_t a, std::int64_t b) {
        std::int64_t r = 0;
        if (!qv::checked_mul(a, b, &r)) throw NotCollectable{};
        return r;
    }

private:
    std::int64_t summary() const {
        if (!summary_ok_) throw NotCollectable{};
        return TW_;
    }

    CellGrid &grid_;
    std::int64_t B_, TW_;
    bool summary_ok_;
};

// Records the calls a GridSink would take, with the pair's own text ids, as a
// compact byte string (see recording.cpp for the layout).
class RecordSink {
public:
    RecordSink();

    std::uint32_t intern(std::string_view utf8);
    std::uint32_t intern(py::handle text);
    std::uint32_t id_P() const { return 0; }
    std::uint32_t id_dot() const { return 1; }

    void file_cell(std::uint32_t id);
    void item(std::int64_t row, std::uint32_t id);
    void point(std::int64_t row, std::int64_t j, std::uint32_t id);

    // The recording, with the widest plot row the scan wrote (its datalog
    // name goes into the recording).
    py::bytes finish(const WidestRow &widest);

private:
    void flush_points();

    std::vector<std::string> texts_;
    std::unordered_map<std::string, std::uint32_t> ids_;
    std::string ops_;
    // The run of points being collected: one row, consecutive columns.
    std::int64_t run_row_ = 0, run_first_ = 0;
    std::vector<std::uint32_t> run_;
};

// Replays `recording` (bytes) into `sink` and notes its widest row in
// `widest`. Throws ValueError for bytes that are not a recording,
// NotCollectable where the grid cannot hold what it records.
void replay(py::handle recording, GridSink &sink, WidestRow &widest);

}  // namespace corvantis
