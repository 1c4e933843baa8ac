// Scanning a shmoo CSV file into a reading plan (see csv_plan.hpp).
#include "csv_plan.hpp"

#include <string>

namespace tavrine::shmoo::csv {
namespace {

// Field count of a line made only of bytes read the same way by every
// parser (printable ASCII without quote or blank), or -1.
long field_count(const Line &line) {
    if (line.begin == line.end) return -1;  // blank lines are skipped by the reader
    long fields = 1;
    for (const char *p = line.begin; p != line.end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == ',') ++fields;
        else if (c < 0x21 || c > 0x7e || c == '"') return -1;
    }
    return fields;
}

std::string_view first_field(const Line &line) {
    const char *comma = static_cast<const char *>(std::memchr(line.begin, ',', static_cast<std::size_t>(line.end - line.begin)));
    return std::string_view(line.begin, static_cast<std::size_t>((comma ? comma : line.end) - line.begin));
}

constexpr const char *label_keys[] = {"Fail", "Pass", "Vol", "Freq", "Marginal", "Hole"};

// Label bits and the number of parts that name no key, as convert_result
// finds them ("Vol-" has an empty part).
void convert_label(std::string_view text, Record &record) {
    record.label_bits = 0;
    record.wrong_keys = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dash = text.find('-', start);
        const std::string_view part = text.substr(start, dash == std::string_view::npos ? text.npos : dash - start);
        bool known = false;
        for (int i = 0; i < 6; ++i)
            if (part == label_keys[i]) {
                record.label_bits = static_cast<std::uint8_t>(record.label_bits | (1u << i));
                known = true;
            }
        if (!known) ++record.wrong_keys;
        if (dash == std::string_view::npos) break;
        start = dash + 1;
    }
}

}  // namespace

bool special_word(std::string_view word) {
    std::string letters;
    for (char c : word)
        if (c != '-') letters.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    for (std::string_view special : {"na", "nan", "null", "none", "true", "false", "inf", "infinity"})
        if (letters == special) return true;
    return false;
}

std::optional<Plan> plan_reading(const char *data, std::size_t size, Mode mode) {
    Plan plan;
    plan.data_end = data + size;
    LineReader reader(data, size);
    Line line{};
    if (!reader.next(line)) return std::nullopt;
    const long width = field_count(line);
    // A one-column block comes out of the reader as a read-only view, which
    // the in-place conversion refuses; the chunk-reader loop says how.
    if (width < 2) return std::nullopt;
    plan.width = static_cast<std::size_t>(width);
    bool pending = true;  // `line` holds the next unread line
    std::size_t first_rows = 0;

    auto next_line = [&](Line &out) -> std::optional<bool> {
        if (pending) {
            out = line;
            pending = false;
        } else if (!reader.next(out)) {
            return false;
        }
        if (field_count(out) != width) return std::nullopt;
        return true;
    };

    for (;;) {
        Line label_line{};
        const auto got_label = next_line(label_line);
        if (!got_label) return std::nullopt;
        if (!*got_label) {
            plan.end = End::NoLabel;
            break;
        }
        Record record{};
        record.label = first_field(label_line);
        const Cell label_kind = classify(record.label);
        if (label_kind == Cell::Word || (label_kind == Cell::One && is_letter(record.label[0]))) {
            if (mode == Mode::Training) convert_label(record.label, record);
        } else if (mode == Mode::Training && (label_kind == Cell::Empty || label_kind == Cell::Int ||
                                              label_kind == Cell::Dec)) {
            plan.end = End::LabelNotText;
            plan.last = record;
            break;
        } else {
            return std::nullopt;
        }

        std::size_t rows = 0;
        bool refused = false;
        for (; rows < 11; ++rows) {
            Line plot_line{};
            const auto got = next_line(plot_line);
            if (!got) return std::nullopt;
            if (!*got) break;
            if (rows == 0) record.plot = plot_line.begin;
            bool unknown = false;
            for_each_field(plot_line, [&](std::size_t, std::string_view field) {
                const Cell cell = classify(field);
                if (cell == Cell::Unknown) unknown = true;
                else if (cell == Cell::Word) refused = true;
            });
            if (unknown) return std::nullopt;
        }
        record.rows = static_cast<std::uint8_t>(rows);
        if (rows == 0) {
            plan.end = End::NoPlot;
            plan.last = record;
            break;
        }
        bool stackable;
        if (mode == Mode::Training) {
            stackable = rows == 11 && plan.width == 11;
        } else {
            stackable = plan.stored.empty() || rows == first_rows;
        }
        if (refused || !stackable) {
            plan.end = End::BadPlot;
            plan.last = record;
            plan.last_has_block = true;
            break;
        }
        if (plan.stored.empty()) first_rows = rows;
        plan.stored.push_back(record);
    }
    // Lines after the end are never read, but only a file that is clean
    // throughout is taken: the reader is then sure to see the same lines.
    while (reader.next(line))
        if (field_count(line) != width) return std::nullopt;
    return plan;
}

}  // namespace tavrine::shmoo::csv
