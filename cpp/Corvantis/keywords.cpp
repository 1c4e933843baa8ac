// The keyword table: the settings file's six markers under fixed key names.
#include "corvantis.hpp"

namespace corvantis {
namespace {

py::object getKeyWordFromSettingFile(py::handle, const qv::Args &args) {
    py::handle config_details = args[0];
    py::dict table;
    for (const char *key : {"Platform", "Item", "SiteNum", "PatName", "PlotStart", "PlotEnd", "RowOffset",
                            "PassSymbol", "FailSymbol"})
        table[key] = py::str("");
    table["Platform"] = py::str("TER");
    table["Item"] = config_details[py::str("keyword_item")];
    table["SiteNum"] = config_details[py::str("keyword_site")];
    table["PlotStart"] = config_details[py::str("keyword_start")];
    table["PlotEnd"] = config_details[py::str("keyword_end")];
    table["RowOffset"] = py::str("1");
    table["PassSymbol"] = config_details[py::str("keyword_pass")];
    table["FailSymbol"] = config_details[py::str("keyword_fail")];
    return table;
}

const qv::FunctionSpec spec{"getKeyWordFromSettingFile", nullptr, {"config_details"}, getKeyWordFromSettingFile};

}  // namespace

py::object make_getKeyWordFromSettingFile(py::module_ m) { return qv::make_function(spec, m); }

}  // namespace corvantis
