#include "serve/ate_commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/program_options.h"
#include "platform/result.h"
#include "records/json_reader.h"
#include "serve/run_api.h"

namespace vantor::serve {

namespace {

constexpr auto kLineAnswerBound = std::chrono::seconds(10);

constexpr const char* kHelpLine =
    "OK commands: START n [SERIAL] [operator=NAME] [order=TEXT] | WAIT n [SECONDS] | "
    "STATUS [n] | STOP n | HELP | QUIT";

std::vector<std::string> Words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// One line of text: line ends and tabs of a detail become spaces.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return text;
}

std::string ErrorOf(const Answer& answer) {
    return OneLine(records::JsonMembers(answer.body)
                       .String("error")
                       .value_or("the line answered " + std::to_string(answer.status)));
}

// The station's index (its number, 1 to the count of stations, less one); the error answer
// when the word is not one.
Result<std::size_t> StationOf(const LineControl& control, const std::string& word) {
    const auto number = platform::ParseWhole(word, 1, static_cast<long>(control.Stations()));
    if (!number) {
        return Failure{"ERR no station \"" + word.substr(0, 16) + "\": 1 to " +
                       std::to_string(control.Stations())};
    }
    return static_cast<std::size_t>(*number - 1);
}

// START n [SERIAL] [operator=NAME] [order=TEXT]
std::string Start(LineControl& control, const std::vector<std::string>& words, std::size_t index,
                  bool require_serial) {
    const std::string n = std::to_string(index + 1);
    RunLabels labels;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        std::string* field = word.rfind("operator=", 0) == 0 ? &labels.operator_name
                             : word.rfind("order=", 0) == 0  ? &labels.order
                             : i == 2                        ? &labels.unit_serial
                                                             : nullptr;
        if (field == nullptr) {
            return "ERR " + n + " \"" + word.substr(0, 32) +
                   "\": after the serial only operator=NAME and order=TEXT";
        }
        *field = field == &labels.unit_serial ? word : word.substr(word.find('=') + 1);
        const char* name = field == &labels.unit_serial ? "serial"
                           : field == &labels.order     ? "order"
                                                        : "operator";
        if (Result<void> checked = CheckLabel(name, *field); !checked) {
            return "ERR " + n + " " + checked.reason();
        }
    }
    if (Result<void> given = CheckSerialGiven(labels, require_serial); !given) {
        return "ERR " + n + " " + given.reason();
    }
    const Answer answer =
        control.Ask(LineRequest::Action::kStart, index, kLineAnswerBound, std::move(labels));
    if (answer.status != 200) {
        return "ERR " + n + " " + ErrorOf(answer);
    }
    return "OK " + n + " run=" + records::JsonMembers(answer.body).String("id").value_or("?");
}

std::string Stop(LineControl& control, std::size_t index) {
    const std::string n = std::to_string(index + 1);
    const Answer answer = control.Ask(LineRequest::Action::kStop, index, kLineAnswerBound);
    return answer.status == 200 ? "OK " + n + " stopping" : "ERR " + n + " " + ErrorOf(answer);
}

nlohmann::json Parsed(const std::string& text) {
    nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    return object.is_object() ? object : nlohmann::json::object();
}

std::string TextOf(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// "RESULT 2 0 success 7.6s"; "RESULT 2 106 the image is for hardware revision 2, ...".
std::string ResultLine(const std::string& n, const RunView& run) {
    const nlohmann::json object = Parsed(run.json);
    const nlohmann::json station = object.value("station", nlohmann::json::object());
    const nlohmann::json record = object.contains("record") && object["record"].is_object()
                                      ? object["record"]
                                      : nlohmann::json::object();
    long long status = -1;
    if (record.contains("status") && record["status"].is_number()) {
        status = record["status"].get<long long>();
    } else if (station.contains("exit_status") && station["exit_status"].is_number()) {
        status = station["exit_status"].get<long long>();
    }
    const std::string state = TextOf(station, "state");
    std::string text;
    if (state == "success" || state == "warned") {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " %.1fs", station.value("elapsed_s", 0.0));
        text = state + seconds;
    } else if (state == "stopped") {
        text = "stopped";
    } else {
        text = TextOf(record, "meaning");
        text = text.empty() ? TextOf(station, "detail") : text;
        text = text.empty() ? state : text;
    }
    return "RESULT " + n + " " + std::to_string(status) + " " + OneLine(text);
}

// WAIT n [SECONDS]: the station's current run, once it has ended.
std::string Wait(LineControl& control, const std::vector<std::string>& words, std::size_t index,
                 std::size_t most_waiting) {
    const std::string n = std::to_string(index + 1);
    long seconds = kMostAteWaitSeconds;
    if (words.size() > 2) {
        const auto given = platform::ParseWhole(words[2], 0, kMostAteWaitSeconds);
        if (!given || words.size() > 3) {
            return "ERR " + n + " WAIT n [SECONDS], the seconds 0 to 300";
        }
        seconds = *given;
    }
    const LineSnapshot snapshot = control.Snapshot();
    const std::string id =
        index < snapshot.station.size() ? TextOf(Parsed(snapshot.station[index]), "run_id") : "";
    if (id.empty()) {
        return "ERR " + n + " no run has been started on station " + n;
    }
    bool busy = false;
    const auto run = control.WaitForRun(id, std::chrono::seconds(seconds), most_waiting, busy);
    if (busy) {
        return "ERR " + n + " too many waits at once; try again";
    }
    if (!run) {
        return "ERR " + n + " the run " + id + " is no longer known";
    }
    return run->done ? ResultLine(n, *run)
                     : "TIMEOUT " + n + " still running after " + std::to_string(seconds) + "s";
}

std::string StationStatus(const nlohmann::json& station) {
    std::string text = std::to_string(station.value("number", 0)) + " " + TextOf(station, "state");
    const long long total = station.value("packets_total", 0LL);
    if (total > 0) {
        text +=
            " " + std::to_string(station.value("packets_sent", 0LL)) + "/" + std::to_string(total);
    }
    return text;
}

// STATUS: one line for the line ("STATUS 1 idle, 2 running 5/8, ..."); STATUS n: the station
// with its run.
std::string Status(const LineControl& control, std::optional<std::size_t> index) {
    const LineSnapshot snapshot = control.Snapshot();
    if (index) {
        const nlohmann::json station = Parsed(snapshot.station.at(*index));
        const std::string run = TextOf(station, "run_id");
        return "STATUS " + StationStatus(station) + (run.empty() ? "" : " run=" + run);
    }
    std::string line = "STATUS";
    for (const std::string& station : snapshot.station) {
        line += (line == "STATUS" ? " " : ", ") + StationStatus(Parsed(station));
    }
    return line;
}

}  // namespace

AteAnswer AnswerAteCommand(LineControl& control, const std::string& line, bool require_serial,
                           std::size_t most_waiting) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) {
        return {"ERR an empty line; HELP lists the commands"};
    }
    const std::string command = Upper(words[0]);
    if (command == "HELP") {
        return {kHelpLine};
    }
    if (command == "QUIT") {
        return {"BYE", true};
    }
    const bool takes_station =
        command == "START" || command == "WAIT" || command == "STOP" || command == "STATUS";
    if (!takes_station) {
        return {"ERR unknown command \"" + OneLine(words[0].substr(0, 32)) +
                "\"; HELP lists the commands"};
    }
    if (command == "STATUS" && words.size() == 1) {
        return {Status(control, std::nullopt)};
    }
    if (words.size() < 2) {
        return {"ERR " + command + " needs a station's number; HELP lists the commands"};
    }
    const Result<std::size_t> index = StationOf(control, words[1]);
    if (!index) {
        return {index.reason()};
    }
    if (command == "START") {
        return {Start(control, words, *index, require_serial)};
    }
    if (command == "WAIT") {
        return {Wait(control, words, *index, most_waiting)};
    }
    if (words.size() > 2) {
        return {"ERR " + command + " n takes nothing more"};
    }
    return {command == "STOP" ? Stop(control, *index) : Status(control, *index)};
}

}  // namespace vantor::serve
