#include "serve/run_api.h"

#include <nlohmann/json.hpp>

#include <chrono>

#include "platform/program_options.h"
#include "records/json_writer.h"
#include "records/unit_fields.h"

namespace vantor::serve {

namespace {

// How long a start waits for the line's loop (as every other request does).
constexpr auto kLineAnswerBound = std::chrono::seconds(10);

void SetJson(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, "application/json");
}

void SetError(httplib::Response& response, int status, const std::string& why) {
    SetJson(response, status, records::JsonObject().String("error", why).Text());
}

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// A run's id as this server makes them: a UUID's hex digits and dashes.
bool LooksLikeRunId(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           id.find_first_not_of("0123456789abcdef-") == std::string::npos;
}

}  // namespace

Result<void> CheckLabel(const std::string& name, const std::string& value) {
    // As the station's child will take it: 1 to 64 characters of UTF-8 text, no control
    // character, no blank at either end.
    return records::UnitFieldProblem(name, value);
}

Result<void> ReadStartBody(const std::string& body, RunLabels& labels) {
    if (IsBlank(body)) {
        return {};
    }
    const nlohmann::json object = nlohmann::json::parse(body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return Failure{
            "the body is a JSON object such as {\"unit_serial\": \"SN12345\", \"operator\": "
            "\"ana\", \"order\": \"WO-118\"}, or nothing"};
    }
    for (const auto& [key, value] : object.items()) {
        std::string* field = key == "unit_serial" ? &labels.unit_serial
                             : key == "operator"  ? &labels.operator_name
                             : key == "order"     ? &labels.order
                                                  : nullptr;
        if (field == nullptr) {
            return Failure{"\"" + key.substr(0, kMostLabelBytes) +
                           "\" is not a field of a start: unit_serial, operator, order"};
        }
        if (!value.is_string()) {
            return Failure{key + ": a string"};
        }
        *field = value.get<std::string>();
        if (Result<void> checked = CheckLabel(key, *field); !checked) {
            return checked;
        }
    }
    return {};
}

Result<void> CheckSerialGiven(const RunLabels& labels, bool required) {
    if (required && labels.unit_serial.empty()) {
        return Failure{
            "this line needs the unit's serial to start a station (serve "
            "--require-unit-serial): give unit_serial"};
    }
    return {};
}

void AnswerStation(const LineControl& control, std::size_t index, httplib::Response& response) {
    const LineSnapshot snapshot = control.Snapshot();
    if (index >= snapshot.station.size()) {
        SetError(response, 404, "no such station");
        return;
    }
    SetJson(response, 200, snapshot.station[index]);
}

void AnswerStart(LineControl& control, std::optional<std::size_t> index,
                 const httplib::Request& request, bool require_serial,
                 httplib::Response& response) {
    RunLabels labels;
    if (Result<void> read = ReadStartBody(request.body, labels); !read) {
        SetError(response, 400, read.reason());
        return;
    }
    if (!index && !labels.unit_serial.empty()) {
        SetError(response, 400,
                 "a unit serial names one unit: start its station with POST "
                 "/api/stations/{n}/start");
        return;
    }
    if (!index && require_serial) {
        SetError(response, 400,
                 "this line starts a station only for a unit serial (serve "
                 "--require-unit-serial): start each with POST /api/stations/{n}/start");
        return;
    }
    if (Result<void> given = CheckSerialGiven(labels, require_serial); !given) {
        SetError(response, 400, given.reason());
        return;
    }
    const Answer answer =
        control.Ask(LineRequest::Action::kStart, index, kLineAnswerBound, std::move(labels));
    SetJson(response, answer.status, answer.body);
}

void AnswerRun(LineControl& control, const httplib::Request& request, httplib::Response& response) {
    const std::string id = request.matches[1];
    long wait_s = 0;
    if (request.has_param("wait")) {
        const auto given =
            platform::ParseWhole(request.get_param_value("wait"), 0, kMostRunWaitSeconds);
        if (!given) {
            SetError(response, 400, "wait: a number of seconds, 0 to 300");
            return;
        }
        wait_s = *given;
    }
    bool busy = false;
    const auto run = !LooksLikeRunId(id) ? std::nullopt
                                         : control.WaitForRun(id, std::chrono::seconds(wait_s),
                                                              kMostRunWaiters, busy);
    if (busy) {
        response.set_header("Retry-After", "1");
        SetError(response, 503,
                 "too many requests wait for runs already (at most " +
                     std::to_string(kMostRunWaiters) + "); try again");
        return;
    }
    if (!run) {
        SetError(response, 404,
                 "no such run: this server knows the last " +
                     std::to_string(LineControl::kMostRuns) + " runs its starts began");
        return;
    }
    SetJson(response, 200, run->json);
}

}  // namespace vantor::serve
