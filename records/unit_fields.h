// The unit a run was for and who ran it: the unit's serial number, the operator, the work order
// and the station's own label, as the operator or the line gave them. A run carries them into
// its start event, its record and its history row, so that the history can say which unit got
// which firmware. Each is empty when it was not given.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "records/json_writer.h"

namespace vantor::records {

struct UnitFields {
    std::string unit_serial;
    std::string operator_name;  // as typed; the system user the run ran as is kept apart
    std::string order;
    std::string station_label;

    bool Empty() const {
        return unit_serial.empty() && operator_name.empty() && order.empty() &&
               station_label.empty();
    }
};

// A serial, a name, an order or a label is at most this many characters: it is a key a person
// types or scans, and it is shown in a table's column.
inline constexpr std::size_t kMostUnitFieldCharacters = 64;

// The options that set the fields, and the record's names for them.
inline constexpr const char* kUnitSerialOption = "--unit-serial";
inline constexpr const char* kOperatorOption = "--operator";
inline constexpr const char* kOrderOption = "--order";
inline constexpr const char* kStationLabelOption = "--station-label";

// The field that `option` (one of the four above) sets; null for any other option.
std::string UnitFields::*UnitFieldOf(const std::string& option);
// The four options, in the order a record lists their fields.
const std::vector<std::string>& UnitFieldOptions();

// What is wrong with `value` as the value of `option`, as a usage error says it: empty, longer
// than 64 characters, not UTF-8, or holding a control character (a tab, a line end, an escape
// sequence that would redraw a terminal or break a CSV row). Success when it will do.
Result<void> UnitFieldProblem(const std::string& option, const std::string& value);

// Adds unit_serial, operator, order and station_label, each null when it was not given.
void AddUnitFields(JsonObject& fields, const UnitFields& unit);

// The options (name, value, ...) that give a child process the fields that are set.
std::vector<std::string> UnitFieldArguments(const UnitFields& unit);

}  // namespace vantor::records
