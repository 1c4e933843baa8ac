// The collecting group writer: plot groups into a sink (a CellGrid or a
// recording of one) without the worksheet's cell API.
#pragma once

#include "scan_context.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvantis::scanning {

// Collects plot groups into a sink (a CellGrid or a recording of one); only
// used when every value taking part is a plain str or int and `re` is the
// library's.
template <class Sink>
class CollectingWriter {
public:
    CollectingWriter(Call &c, Sink &sink) : c_(c), sink_(sink) {}

    void write_group(const std::vector<py::object> &items, const std::vector<py::object> &plot,
                     const std::vector<Py_ssize_t> &plot_lines) {
        sink_.file_cell(sink_.intern(c_.each_file));
        for (const py::object &text : items) {
            const std::uint32_t id = sink_.intern(text);
            const std::int64_t row = c_.next_row();
            sink_.item(row, id);
            c_.iRow = row;
        }
        for (std::size_t p = 0; p < plot.size(); ++p) {
            const py::object &line = plot[p];
            const bool convert = !contains(line, c_.kw.get(kPlotEnd));
            const std::int64_t row = c_.next_row();
            std::int64_t j = 0;
            auto place = [&](std::uint32_t id) { sink_.point(row, j++, id); };
            if (PyUnicode_IS_ASCII(line.ptr())) {
                // str.split() on ASCII text, without a str per token.
                const char *p = static_cast<const char *>(PyUnicode_DATA(line.ptr()));
                const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.ptr()));
                std::size_t i = 0;
                for (;;) {
                    while (i < n && ascii_space(p[i])) ++i;
                    if (i == n) break;
                    const std::size_t from = i;
                    while (i < n && !ascii_space(p[i])) ++i;
                    const std::string_view token(p + from, i - from);
                    place((convert && j > 0) ? converted(token, py::handle()) : sink_.intern(token));
                }
            } else {
                py::list tokens = py::reinterpret_borrow<py::list>(
                    qv::steal_or_throw(PyUnicode_Split(line.ptr(), nullptr, -1)));
                const Py_ssize_t n = PyList_GET_SIZE(tokens.ptr());
                for (Py_ssize_t k = 0; k < n; ++k) {
                    py::handle token = PyList_GET_ITEM(tokens.ptr(), k);
                    place((convert && k > 0) ? converted(utf8_of(token), token) : sink_.intern(token));
                }
            }
            c_.note_row(plot_lines[p], static_cast<Py_ssize_t>(j));
            c_.iRow = row;
        }
    }

private:
    // The token as PassSymbol/FailSymbol turn it: both patterns are tested on
    // the printed token, the fail test last. Pure for plain strings and the
    // library's re, so the result is remembered per token text.
    static bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

    static std::string_view utf8_of(py::handle text) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) qv::throw_python_error();
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }

    // `token` is the str of `key`, or null to make it when needed.
    std::uint32_t converted(std::string_view key, py::handle token) {
        py::object pass = c_.kw.get(kPassSymbol);
        py::object fail = c_.kw.get(kFailSymbol);
        if (!pass.is(pass_) || !fail.is(fail_)) {
            memo_.clear();
            pass_ = pass;
            fail_ = fail;
        }
        auto it = memo_.find(key);
        if (it != memo_.end()) return it->second;
        py::object made;
        if (!token) {
            made = qv::steal_or_throw(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            token = made;
        }
        const bool passes = c_.matcher.match(pass, token);
        const bool fails = c_.matcher.match(fail, token);
        // A converted token's own text is never written.
        const std::uint32_t id = fails ? sink_.id_dot() : passes ? sink_.id_P() : sink_.intern(key);
        memo_.emplace(std::string(key), id);
        return id;
    }

    Call &c_;
    Sink &sink_;
    py::object pass_, fail_;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> memo_;
};

}  // namespace corvantis::scanning
