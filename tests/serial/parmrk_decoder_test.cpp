#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/serial/posix_serial_device.h"

namespace vantor::platform {
namespace {

struct DecodeCase {
    std::string name;
    std::vector<std::uint8_t> marked;
    std::vector<std::uint8_t> data;
    int breaks;
};

class ParmrkDecoding : public testing::TestWithParam<DecodeCase> {};

std::vector<std::uint8_t> Drain(std::deque<std::uint8_t>& queue) {
    return {queue.begin(), queue.end()};
}

TEST_P(ParmrkDecoding, WholeStreamGivesDataAndBreaks) {
    const DecodeCase& c = GetParam();
    ParmrkDecoder decoder;
    std::deque<std::uint8_t> data;
    EXPECT_EQ(decoder.Feed(c.marked.data(), c.marked.size(), data), c.breaks);
    EXPECT_EQ(Drain(data), c.data);
}

// Catches a mark sequence lost or misread when a read ends in its middle.
TEST_P(ParmrkDecoding, StreamSplitAtEveryPositionDecodesTheSame) {
    const DecodeCase& c = GetParam();
    for (std::size_t cut = 0; cut <= c.marked.size(); ++cut) {
        ParmrkDecoder decoder;
        std::deque<std::uint8_t> data;
        int breaks = decoder.Feed(c.marked.data(), cut, data);
        breaks += decoder.Feed(c.marked.data() + cut, c.marked.size() - cut, data);
        EXPECT_EQ(breaks, c.breaks) << "cut at " << cut;
        EXPECT_EQ(Drain(data), c.data) << "cut at " << cut;
    }
}

TEST_P(ParmrkDecoding, StreamFedByteByByteDecodesTheSame) {
    const DecodeCase& c = GetParam();
    ParmrkDecoder decoder;
    std::deque<std::uint8_t> data;
    int breaks = 0;
    for (const std::uint8_t byte : c.marked) {
        breaks += decoder.Feed(&byte, 1, data);
    }
    EXPECT_EQ(breaks, c.breaks);
    EXPECT_EQ(Drain(data), c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ParmrkDecoding,
    testing::Values(
        DecodeCase{"PlainBytes", {0x41, 0x00, 0x7F, 0xFE}, {0x41, 0x00, 0x7F, 0xFE}, 0},
        DecodeCase{"DoubledFFIsOneFF", {0x01, 0xFF, 0xFF, 0x02}, {0x01, 0xFF, 0x02}, 0},
        DecodeCase{"MarkedBreak", {0x01, 0xFF, 0x00, 0x00, 0x02}, {0x01, 0x02}, 1},
        DecodeCase{"ErrorByteIsData", {0xFF, 0x00, 0x55}, {0x55}, 0},
        DecodeCase{"TwoBreaksInARow", {0xFF, 0x00, 0x00, 0xFF, 0x00, 0x00}, {}, 2},
        DecodeCase{"FFThenBreak", {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}, {0xFF, 0xFF}, 1},
        DecodeCase{"WordsFFFEAndA55A", {0xFF, 0xFF, 0xFE, 0xA5, 0x5A}, {0xFF, 0xFE, 0xA5, 0x5A}, 0},
        // The terminal layer never sends FF followed by another byte; both are kept.
        DecodeCase{"StrayMarkKeepsBothBytes", {0xFF, 0x41}, {0xFF, 0x41}, 0}),
    [](const testing::TestParamInfo<DecodeCase>& param_info) { return param_info.param.name; });

TEST(ParmrkDecoder, ResetDropsAHalfSequence) {
    ParmrkDecoder decoder;
    std::deque<std::uint8_t> data;
    const std::uint8_t start[] = {0xFF, 0x00};
    decoder.Feed(start, sizeof(start), data);
    decoder.Reset();
    const std::uint8_t next[] = {0x00, 0x41};
    EXPECT_EQ(decoder.Feed(next, sizeof(next), data), 0);
    EXPECT_EQ(Drain(data), (std::vector<std::uint8_t>{0x00, 0x41}));
}

}  // namespace
}  // namespace vantor::platform
