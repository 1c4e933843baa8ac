// Recordings of a pair's plot groups, made in a worker process and replayed
// into the run's grid by the process that saves the workbook.
//
// Layout: "QVR1", the widest plot row (cells, 1-based line, datalog name),
// the text table (count, then each text as length and UTF-8 bytes), then the
// calls, each an op byte and its operands:
//   0 id                      file_cell
//   1 row id                  item
//   2 row j count id...       point(row, j + k, id[k]) for k < count
// Numbers are unsigned LEB128. A text id is the index in the text table; 0
// is "P" and 1 is ".".
#include "corvantis.hpp"
#include "plot_sinks.hpp"

namespace corvantis {
namespace {

constexpr std::string_view magic = "QVR1";

void put_number(std::string &out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_text(std::string &out, std::string_view text) {
    put_number(out, text.size());
    out.append(text);
}

[[noreturn]] void not_a_recording() { throw py::value_error("not a plot recording of this version"); }

class Reader {
public:
    explicit Reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}

    bool done() const { return p_ == end_; }
    std::uint8_t byte() {
        if (p_ == end_) not_a_recording();
        return static_cast<std::uint8_t>(*p_++);
    }
    std::uint64_t number() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = byte();
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        not_a_recording();
    }
    std::int64_t signed_number() {
        const std::uint64_t v = number();
        if (v > static_cast<std::uint64_t>(INT64_MAX)) not_a_recording();
        return static_cast<std::int64_t>(v);
    }
    std::string_view text() {
        const std::uint64_t n = number();
        if (n > static_cast<std::uint64_t>(end_ - p_)) not_a_recording();
        std::string_view t(p_, static_cast<std::size_t>(n));
        p_ += n;
        return t;
    }
    void expect(std::string_view what) {
        if (static_cast<std::size_t>(end_ - p_) < what.size() || std::string_view(p_, what.size()) != what)
            not_a_recording();
        p_ += what.size();
    }

private:
    const char *p_;
    const char *end_;
};

// The part before the calls: the widest row and the text table.
struct Header {
    std::int64_t cells = 0, line = 0;
    std::string_view file;
    std::vector<std::string_view> texts;
};

Header read_header(Reader &in) {
    Header h;
    in.expect(magic);
    h.cells = in.signed_number();
    h.line = in.signed_number();
    h.file = in.text();
    const std::uint64_t count = in.number();
    h.texts.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 20)));
    for (std::uint64_t k = 0; k < count; ++k) h.texts.push_back(in.text());
    if (h.texts.size() < 2 || h.texts[0] != "P" || h.texts[1] != ".") not_a_recording();
    return h;
}

std::string_view bytes_of(py::handle recording) {
    if (!PyBytes_Check(recording.ptr())) throw py::type_error("a plot recording is bytes");
    return std::string_view(PyBytes_AS_STRING(recording.ptr()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(recording.ptr())));
}

}  // namespace

RecordSink::RecordSink() {
    intern(std::string_view("P"));
    intern(std::string_view("."));
}

std::uint32_t RecordSink::intern(std::string_view utf8) {
    auto it = ids_.find(std::string(utf8));
    if (it != ids_.end()) return it->second;
    if (texts_.size() >= 0xFFFFFFFEu) throw NotCollectable{};
    const auto id = static_cast<std::uint32_t>(texts_.size());
    texts_.emplace_back(utf8);
    ids_.emplace(texts_.back(), id);
    return id;
}

std::uint32_t RecordSink::intern(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) qv::throw_python_error();
    return intern(std::string_view(data, static_cast<std::size_t>(size)));
}

void RecordSink::flush_points() {
    if (run_.empty()) return;
    ops_.push_back(2);
    put_number(ops_, static_cast<std::uint64_t>(run_row_));
    put_number(ops_, static_cast<std::uint64_t>(run_first_));
    put_number(ops_, run_.size());
    for (std::uint32_t id : run_) put_number(ops_, id);
    run_.clear();
}

void RecordSink::file_cell(std::uint32_t id) {
    flush_points();
    ops_.push_back(0);
    put_number(ops_, id);
}

void RecordSink::item(std::int64_t row, std::uint32_t id) {
    flush_points();
    if (row < 0) throw NotCollectable{};
    ops_.push_back(1);
    put_number(ops_, static_cast<std::uint64_t>(row));
    put_number(ops_, id);
}

void RecordSink::point(std::int64_t row, std::int64_t j, std::uint32_t id) {
    if (row < 0 || j < 0) throw NotCollectable{};
    if (run_.empty() || row != run_row_ || j != run_first_ + static_cast<std::int64_t>(run_.size())) {
        flush_points();
        run_row_ = row;
        run_first_ = j;
    }
    run_.push_back(id);
}

py::bytes RecordSink::finish(const WidestRow &widest) {
    flush_points();
    std::string out(magic);
    put_number(out, static_cast<std::uint64_t>(widest.cells));
    put_number(out, static_cast<std::uint64_t>(widest.line));
    std::string_view file;
    if (widest.file) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(widest.file.ptr(), &size);
        if (!data) qv::throw_python_error();
        file = std::string_view(data, static_cast<std::size_t>(size));
    }
    put_text(out, file);
    put_number(out, texts_.size());
    for (const std::string &t : texts_) put_text(out, t);
    out += ops_;
    return py::bytes(out);
}

void replay(py::handle recording, GridSink &sink, WidestRow &widest) {
    Reader in(bytes_of(recording));
    const Header h = read_header(in);
    if (h.cells > 0) {
        py::str name(h.file.data(), h.file.size());
        widest.note(name, static_cast<Py_ssize_t>(h.line - 1), static_cast<Py_ssize_t>(h.cells));
    }

    // Texts enter the grid's table when first used, as in a direct scan.
    const std::vector<std::string_view> &texts = h.texts;
    constexpr std::uint32_t unmapped = 0xFFFFFFFFu;
    std::vector<std::uint32_t> global(texts.size(), unmapped);
    global[0] = sink.id_P();
    global[1] = sink.id_dot();
    auto id = [&]() {
        const std::uint64_t local = in.number();
        if (local >= texts.size()) not_a_recording();
        std::uint32_t &g = global[static_cast<std::size_t>(local)];
        if (g == unmapped) g = sink.intern(texts[static_cast<std::size_t>(local)]);
        return g;
    };

    while (!in.done()) {
        switch (in.byte()) {
        case 0: sink.file_cell(id()); break;
        case 1: {
            const std::int64_t row = in.signed_number();
            sink.item(row, id());
            break;
        }
        case 2: {
            const std::int64_t row = in.signed_number();
            const std::int64_t first = in.signed_number();
            const std::int64_t n = in.signed_number();
            for (std::int64_t k = 0; k < n; ++k) sink.point(row, GridSink::add(first, k), id());
            break;
        }
        default: not_a_recording();
        }
    }
}

namespace {

// `_recorded_rows(recording)`: the worksheet row each recorded plot group
// starts on (its first item-info cell), group by group: where the workbook
// holds that group's plot, for reports that link to it.
py::object recorded_rows(py::handle, const qv::Args &args) {
    Reader in(bytes_of(args[0]));
    const Header h = read_header(in);
    auto text_id = [&] {
        if (in.number() >= h.texts.size()) not_a_recording();
    };
    py::list rows;
    bool group_open = false;
    auto first_row = [&](std::int64_t row) {
        if (group_open) rows.append(py::int_(row));
        group_open = false;
    };
    while (!in.done()) {
        switch (in.byte()) {
        case 0:
            text_id();
            group_open = true;
            break;
        case 1:
            first_row(in.signed_number());
            text_id();
            break;
        case 2: {
            first_row(in.signed_number());
            in.signed_number();
            const std::uint64_t n = in.number();
            for (std::uint64_t k = 0; k < n; ++k) text_id();
            break;
        }
        default: not_a_recording();
        }
    }
    return rows;
}

const qv::FunctionSpec recorded_rows_spec{"_recorded_rows", nullptr, {"recording"}, recorded_rows};

}  // namespace

py::object make_recorded_rows(py::module_ m) { return qv::make_function(recorded_rows_spec, m); }

}  // namespace corvantis
