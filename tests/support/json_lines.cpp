#include "support/json_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "cli/cli_runner.h"

namespace vantor::test {

std::optional<JsonObject> ParseJsonLine(const std::string& line, std::string* error) {
    try {
        JsonObject object = JsonObject::parse(line);
        if (object.is_object()) {
            return object;
        }
        if (error != nullptr) {
            *error = "not an object";
        }
    } catch (const JsonObject::parse_error& failure) {
        if (error != nullptr) {
            *error = failure.what();
        }
    }
    return std::nullopt;
}

std::vector<JsonObject> ParseJsonLines(const std::string& text) {
    std::vector<JsonObject> objects;
    for (const std::string& line : Lines(text)) {
        std::string error;
        auto object = ParseJsonLine(line, &error);
        EXPECT_TRUE(object.has_value()) << error << " in: " << line;
        if (object) {
            objects.push_back(std::move(*object));
        }
    }
    return objects;
}

std::string StringField(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    return found == object.end() || !found->is_string() ? std::string() : found->get<std::string>();
}

std::vector<JsonObject> EventsOfKind(const std::vector<JsonObject>& events,
                                     const std::string& kind) {
    std::vector<JsonObject> found;
    std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                 [&](const JsonObject& event) { return StringField(event, "event") == kind; });
    return found;
}

}  // namespace vantor::test
