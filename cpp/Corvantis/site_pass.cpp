// processLog's collecting scan for all sites of a datalog in one pass: the
// answers about a line that do not depend on the site are worked out once,
// and each site's plot groups are recorded as its own scan would write them.
#include "collecting_writer.hpp"
#include "corvantis.hpp"
#include "grid.hpp"
#include "plot_scan.hpp"
#include "plot_sinks.hpp"
#include "scan_context.hpp"

#include <memory>
#include <optional>

namespace corvantis {
namespace {

using namespace scanning;

// What a pass tests lines against, from the keyword table and `re`. Only
// used while both are plain (no outside code runs to answer), so the answers
// about a line, asked once for all sites, are what asking per site gives.
struct TableMarkers {
    Keywords &kw;
    Matcher &matcher;

    py::handle vbt_error() const { return lit().vbt_error; }
    py::object site_label() const { return kw.get(kSiteNum); }
    py::object pattern_name() const { return kw.get(kPatName); }
    py::object plot_start() const { return kw.get(kPlotStart); }
    py::object plot_end() const { return kw.get(kPlotEnd); }
    py::handle newline() const { return lit().newline; }
    bool item(py::handle line) const { return matcher.match(kw.get(kItem), line); }
};

using SharedFacts = qv::SharedLineFacts<const TableMarkers>;

// One site followed by a multi-site pass: its own row cursor, scan state
// and recording.
struct FollowedSite {
    FollowedSite(py::handle module, py::handle file_name, py::handle site, Keywords &kw, Matcher &matcher,
                 const Numbered &empty)
        : call{module, file_name, py::none(), py::none(), py::none(), py::none(), kw, matcher, &widest},
          writer(call, sink),
          state(empty),
          label_and_site(qv::steal_or_throw(PyNumber_Add(kw.get(kSiteNum).ptr(), site.ptr()))) {}

    WidestRow widest;
    Call call;
    RecordSink sink;
    CollectingWriter<RecordSink> writer;
    qv::PlotScan<Numbered> state;
    py::object label_and_site;
};

// processLog's collecting scan for every site in `sites` in one pass over
// `lines`: each site's plot groups recorded as its own scan would write them.
// Empty when the pass cannot stand in for the per-site scans (a value that is
// not plain, or anything the per-site scan would raise: that scan then
// raises it in its own order).
std::vector<py::bytes> record_sites(py::handle module, py::handle file_name, const py::list &sites,
                                    const py::list &lines, py::handle dict_keyword) {
    if (!is_exact_str(file_name)) return {};
    Keywords kw(dict_keyword);
    Matcher matcher(module);
    if (!kw.native() || !matcher.native() || !is_exact_str(kw.get(kSiteNum))) return {};
    const Numbered empty{lit().empty, -1};
    std::vector<std::unique_ptr<FollowedSite>> followed;
    for (py::handle site : sites) {
        if (!is_exact_str(site)) return {};
        followed.push_back(std::make_unique<FollowedSite>(module, file_name, site, kw, matcher, empty));
    }
    const TableMarkers markers{kw, matcher};
    try {
        const py::tuple frozen = qv::frozen_lines(lines);
        const Py_ssize_t count = PyTuple_GET_SIZE(frozen.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::handle line = PyTuple_GET_ITEM(frozen.ptr(), i);
            if (!is_exact_str(line)) return {};
            SharedFacts facts(markers, line);
            const Numbered numbered{py::reinterpret_borrow<py::object>(line), i};
            for (auto &f : followed) {
                qv::SiteView<SharedFacts> view{facts, f->label_and_site};
                qv::plot_scan_step(f->state, numbered, empty, view,
                                   [&](const std::vector<Numbered> &items, const std::vector<Numbered> &plot) {
                                       write_group(f->writer, items, plot);
                                       advance_by_row_offset(f->call);
                                   });
            }
        }
    } catch (const NotCollectable &) {
        return {};
    } catch (const py::builtin_exception &) {
        // Our own refusals (a RowOffset the cursor cannot follow), raised
        // again by the per-site scan.
        return {};
    } catch (py::error_already_set &e) {
        // Only what the per-site scan raises again; a KeyboardInterrupt goes on.
        if (!e.matches(PyExc_Exception)) throw;
        return {};
    }
    if (!kw.native() || !matcher.native()) return {};
    std::vector<py::bytes> recordings;
    for (auto &f : followed) recordings.push_back(f->sink.finish(f->widest));
    return recordings;
}

}  // namespace

std::optional<bool> collect_sites(py::handle module, py::handle each_file, const py::list &sites,
                                  long first_site_count, py::handle totalsiteCnt, py::handle dict_keyword,
                                  py::handle interval_columns, CellGrid &grid, const py::list &lines) {
    if (!small_int(totalsiteCnt) || !small_int(interval_columns)) return std::nullopt;
    std::vector<py::bytes> recordings = record_sites(module, each_file, sites, lines, dict_keyword);
    if (recordings.size() != static_cast<std::size_t>(py::len(sites))) return std::nullopt;
    WidestRow scratch;
    WidestRow *widest = watched_rows(&grid, py::none());
    const std::int64_t width = as_int64(interval_columns);
    try {
        std::int64_t summary = 0;
        const bool summary_ok = qv::checked_mul(as_int64(totalsiteCnt), width, &summary);
        long site_count = first_site_count;
        for (const py::bytes &recording : recordings) {
            GridSink sink(grid, GridSink::mul(site_count - 1, width), summary, summary_ok);
            replay(recording, sink, widest ? *widest : scratch);
            ++site_count;
        }
    } catch (const NotCollectable &) {
        return false;
    }
    return true;
}

namespace {

// `_record_plots(TER_keyword, file_name, sites, lines)`: processLog's
// collecting scan of `lines` (the datalog's text, read by the caller) for
// each site in the list, in one pass, recorded for a later replay;
// `file_name` is what the blocks show above them. None when the scan needs
// the cell API or would raise, a RowOffset the row cursor cannot follow
// included (the caller then extracts the usual way, which raises it).
py::object record_plots(py::handle module, const qv::Args &args) {
    if (!PyList_CheckExact(args[2].ptr()) || !PyList_CheckExact(args[3].ptr())) return py::none();
    std::vector<py::bytes> recordings = record_sites(module, args[1], py::reinterpret_borrow<py::list>(args[2]),
                                                     py::reinterpret_borrow<py::list>(args[3]), args[0]);
    if (recordings.size() != static_cast<std::size_t>(py::len(args[2]))) return py::none();
    py::list out;
    for (py::bytes &r : recordings) out.append(r);
    return out;
}

const qv::FunctionSpec record_spec{
    "_record_plots", nullptr, {"TER_keyword", "file_name", "sites", "lines"}, record_plots};

}  // namespace

py::object make_record_plots(py::module_ m) { return qv::make_function(record_spec, m); }

}  // namespace corvantis
