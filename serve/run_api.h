// The API's calls for test equipment that runs one unit at a time: a station's object, a start
// that says which unit it is for and answers the new run's id, and that run's state and record,
// waited for with a bound.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/result.h"
#include "serve/line_control.h"

namespace vantor::serve {

// Callers of GET /api/runs/{id}?wait= at once: each holds one of the HTTP threads, and the rest
// stay for the dashboard and its live stream.
inline constexpr std::size_t kMostRunWaiters = 8;
inline constexpr long kMostRunWaitSeconds = 300;
inline constexpr std::size_t kMostLabelBytes = 64;  // of a field's name shown in a message

// Checks a unit serial, an operator's name or an order (`name` is the field's) as the station's
// child would; what is wrong with it when the child would refuse it.
Result<void> CheckLabel(const std::string& name, const std::string& value);

// A start's body: nothing, or a JSON object of "unit_serial", "operator" and "order", each a
// string; the message when it is something else.
Result<void> ReadStartBody(const std::string& body, RunLabels& labels);

// Whether `required`, a start without a unit serial is refused; the message then.
Result<void> CheckSerialGiven(const RunLabels& labels, bool required);

// GET /api/stations/{n}: the station `index`, from the latest snapshot.
void AnswerStation(const LineControl& control, std::size_t index, httplib::Response& response);
// POST /api/start and /api/stations/{n}/start.
void AnswerStart(LineControl& control, std::optional<std::size_t> index,
                 const httplib::Request& request, bool require_serial, httplib::Response& response);
// GET /api/runs/{id}[?wait=SECONDS].
void AnswerRun(LineControl& control, const httplib::Request& request, httplib::Response& response);

}  // namespace vantor::serve
