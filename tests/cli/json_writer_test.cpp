// The one JSON writer of vantor-cli: what it escapes and how, and that what it writes is JSON a
// real parser takes and our own field reader turns back into the very bytes given.
#include "records/json_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "records/json_fields.h"

namespace vantor::test {
namespace {

using cli::JsonArray;
using cli::JsonObject;

// Catches a quote, a control character or a byte outside UTF-8 written raw, a lone lead byte
// that swallows the byte after it, and surrogates or overlong forms taken for UTF-8.
TEST(JsonWriter, EscapesQuotesControlsAndEachByteThatIsNotUtf8) {
    const std::string text =
        "a\"b\\c\x01\t\x7F/"
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"  // é € and an emoji pass through
        "\xFF\xE2\x82x\xED\xA0\x80\xC0\xAF\xF4\x90\x80\x80";
    EXPECT_EQ(JsonObject().String("text", text).Text(),
              "{\"text\":\"a\\\"b\\\\c\\u0001\\u0009\\u007F/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
              "\\u00FF\\u00E2\\u0082x\\u00ED\\u00A0\\u0080\\u00C0\\u00AF"
              "\\u00F4\\u0090\\u0080\\u0080\"}");
}

TEST(JsonWriter, WritesMembersInOrderNestedAndCompact) {
    JsonObject attempt;
    attempt.Integer("attempt", 1).IntegerOrNull("pid", std::nullopt).VerbatimOrNull("record", "");
    JsonArray attempts;
    attempts.Object(attempt).Object(JsonObject().VerbatimOrNull("record", "{\"a\":[1]}"));
    const JsonObject fields = JsonObject()
                                  .StringOrNull("image", std::nullopt)
                                  .Fixed3("time_ms", 1234.5678)
                                  .Fixed3("duration_s", -0.25)
                                  .Array("failed", JsonArray().Integer(-2).Integer(3))
                                  .Array("none", JsonArray())
                                  .Object("empty", JsonObject())
                                  .Array("attempts", attempts);
    EXPECT_EQ(JsonObject().String("event", "x").Append(JsonObject()).Append(fields).Text(),
              "{\"event\":\"x\",\"image\":null,\"time_ms\":1234.568,\"duration_s\":-0.250,"
              "\"failed\":[-2,3],\"none\":[],\"empty\":{},\"attempts\":[{\"attempt\":1,"
              "\"pid\":null,\"record\":null},{\"record\":{\"a\":[1]}}]}");
}

// Catches any byte string that comes out as text a parser refuses, or that the line's reader
// of station events does not turn back into the bytes the station wrote.
TEST(JsonWriter, AnyBytesParseAndReadBackUnchanged) {
    const unsigned seed = std::random_device{}();
    std::mt19937 draw(seed);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(draw() % 12, '\0');
        for (char& byte : bytes) {
            // Mostly bytes above 0x7F, where the UTF-8 sequences and their faults are.
            byte = static_cast<char>(draw() % 4 == 0 ? draw() % 0x80 : 0x80 + draw() % 0x80);
        }
        const std::string json = JsonObject().String("event", "e").String("text", bytes).Text();
        EXPECT_TRUE(nlohmann::json::accept(json)) << json << " seed=" << seed;
        EXPECT_EQ(cli::JsonStringField(json, "text"), bytes) << json << " seed=" << seed;
    }
}

}  // namespace
}  // namespace vantor::test
