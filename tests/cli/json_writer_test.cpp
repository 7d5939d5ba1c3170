// The one JSON writer of vantor-cli and its reader: what the writer escapes and how, that what it
// writes is JSON a parser takes and the reader turns back into the very bytes given, and that
// the reader says what is wrong with a line that is not a JSON object.
#include "records/json_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "records/json_reader.h"

namespace vantor::test {
namespace {

using records::JsonArray;
using records::JsonObject;

// Catches a quote, a control character or a byte outside UTF-8 written raw, a lone lead byte
// that swallows the byte after it, and surrogates or overlong forms taken for UTF-8.
TEST(JsonWriter, EscapesQuotesControlsAndEachByteThatIsNotUtf8) {
    const std::string text =
        "a\"b\\c\x01\t\x7F/"
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"  // é € and an emoji pass through
        "\xFF\xE2\x82x\xED\xA0\x80\xC0\xAF\xF4\x90\x80\x80";
    EXPECT_EQ(records::JsonObject().String("text", text).Text(),
              "{\"text\":\"a\\\"b\\\\c\\u0001\\u0009\\u007F/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
              "\\u00FF\\u00E2\\u0082x\\u00ED\\u00A0\\u0080\\u00C0\\u00AF"
              "\\u00F4\\u0090\\u0080\\u0080\"}");
}

TEST(JsonWriter, WritesMembersInOrderNestedAndCompact) {
    records::JsonObject attempt;
    attempt.Integer("attempt", 1).IntegerOrNull("pid", std::nullopt).VerbatimOrNull("record", "");
    records::JsonArray attempts;
    attempts.Object(attempt).Object(JsonObject().VerbatimOrNull("record", "{\"a\":[1]}"));
    const records::JsonObject fields = JsonObject()
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
// of station events does not turn back into the bytes the station wrote: a NUL, an escaped byte
// and the same character in UTF-8 side by side among them.
TEST(JsonWriter, AnyBytesParseAndReadBackUnchanged) {
    std::mt19937 draw(20261208);
    for (int round = 0; round < 4000; ++round) {
        std::string bytes(draw() % 12, '\0');
        for (char& byte : bytes) {
            // Mostly bytes above 0x7F, where the UTF-8 sequences and their faults are.
            byte = static_cast<char>(draw() % 4 == 0 ? draw() % 0x80 : 0x80 + draw() % 0x80);
        }
        const std::string json =
            records::JsonObject().String("event", "e").String("text", bytes).Text();
        EXPECT_TRUE(nlohmann::json::accept(json)) << json;
        EXPECT_EQ(records::JsonMembers(json).String("text"), bytes) << json;
    }
}

TEST(JsonReader, KeepsNulsEscapedBytesAndUtf8Apart) {
    const std::string bytes("\0\xE9\xC3\xA9\0\0\xFF\\u00FF", 12);
    const std::string json = records::JsonObject().String("text", bytes).Text();
    EXPECT_EQ(records::JsonMembers(json).String("text"), bytes) << json;
}

// Catches a member found inside a nested object (the summary's images hold counters of their
// own), a value of the wrong kind taken, and a line that is not an object read as empty.
TEST(JsonReader, ReadsTheObjectsOwnMembersOnly) {
    const records::JsonMembers summary(
        R"({"images":[{"missing_responses":4}],"detail":{"text":"x"},"ok":"true","n":null})");
    ASSERT_TRUE(summary.Valid()) << summary.Fault();
    EXPECT_EQ(summary.Number("missing_responses"), std::nullopt);
    EXPECT_EQ(summary.String("text"), std::nullopt);
    EXPECT_EQ(summary.String("detail"), std::nullopt);
    EXPECT_EQ(summary.Bool("ok"), std::nullopt);
    EXPECT_EQ(summary.Number("n"), std::nullopt);

    for (const char* bad : {"", "{\"event\":\"status\",\"text\":\"Seek", "Segmentation fault",
                            "[1,2]", "{\"a\":1}{", "{\"a\":\"\xFF\"}"}) {
        const records::JsonMembers members(bad);
        EXPECT_FALSE(members.Valid()) << bad;
        EXPECT_EQ(members.String("event"), std::nullopt) << bad;
        EXPECT_NE(members.Fault().find(' '), std::string::npos) << bad << ": " << members.Fault();
        EXPECT_EQ(members.Fault().find("json.exception"), std::string::npos) << members.Fault();
    }
}

}  // namespace
}  // namespace vantor::test
