#include <gtest/gtest.h>

#include <vector>

#include "platform/serial/rfc2217_telnet.h"

namespace vantor::platform::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Recorder final : Listener {
    Bytes data;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> negotiations;
    std::vector<Bytes> subnegotiations;
    void OnData(std::uint8_t byte) override { data.push_back(byte); }
    void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
        negotiations.emplace_back(verb, option);
    }
    void OnSubnegotiation(const Bytes& body) override { subnegotiations.push_back(body); }
};

Bytes AllByteValues() {
    Bytes bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

TEST(TelnetData, EveryByteValueSurvivesEscapingAndParsingAtEverySplit) {
    const Bytes original = AllByteValues();
    Bytes stream;
    AppendData(original.data(), original.size(), stream);
    EXPECT_EQ(stream.size(), 257u);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Parser parser;
        Recorder recorder;
        parser.Feed(stream.data(), cut, recorder);
        parser.Feed(stream.data() + cut, stream.size() - cut, recorder);
        ASSERT_EQ(recorder.data, original) << "cut at " << cut;
    }
}

TEST(TelnetSubnegotiation, FFInAValueIsDoubledAndRestored) {
    Bytes stream;
    AppendComPortCommand(kComSetBaudRate, BigEndian32(0x00FF00FF), stream);
    EXPECT_EQ(stream, (Bytes{kIac, kSb, kOptionComPort, kComSetBaudRate, 0x00, 0xFF, 0xFF, 0x00,
                             0xFF, 0xFF, kIac, kSe}));
    Parser parser;
    Recorder recorder;
    parser.Feed(stream.data(), stream.size(), recorder);
    ASSERT_EQ(recorder.subnegotiations.size(), 1u);
    EXPECT_EQ(recorder.subnegotiations[0],
              (Bytes{kOptionComPort, kComSetBaudRate, 0, 0xFF, 0, 0xFF}));
    EXPECT_TRUE(recorder.data.empty());
}

TEST(TelnetParser, CommandsBetweenDataAreTakenOutOfIt) {
    const Bytes stream = {0x41,          kIac, kWill, kOptionBinary, 0x42,           kIac,
                          241 /* NOP */, 0x43, kIac,  kSb,           kOptionComPort, 106,
                          0x10,          kIac, kSe,   0x44};
    Parser parser;
    Recorder recorder;
    parser.Feed(stream.data(), stream.size(), recorder);
    EXPECT_EQ(recorder.data, (Bytes{0x41, 0x42, 0x43, 0x44}));
    ASSERT_EQ(recorder.negotiations.size(), 1u);
    EXPECT_EQ(recorder.negotiations[0], std::make_pair(kWill, kOptionBinary));
    ASSERT_EQ(recorder.subnegotiations.size(), 1u);
    EXPECT_EQ(recorder.subnegotiations[0], (Bytes{kOptionComPort, 106, 0x10}));
}

// Catches a peer that never ends a subnegotiation making the parser swallow or hoard the rest.
TEST(TelnetParser, OverlongSubnegotiationIsDroppedAndDataGoesOn) {
    Bytes stream = {kIac, kSb, kOptionComPort};
    stream.insert(stream.end(), 1000, 0x33);
    stream.insert(stream.end(), {kIac, kSe, 0x41});
    Parser parser;
    Recorder recorder;
    parser.Feed(stream.data(), stream.size(), recorder);
    EXPECT_TRUE(recorder.subnegotiations.empty());
    EXPECT_EQ(recorder.data, Bytes{0x41});
}

struct NegotiationCase {
    const char* name;
    std::uint8_t verb;
    std::uint8_t option;
    Bytes first_answer;
};

class NegotiatorAnswers : public testing::TestWithParam<NegotiationCase> {};

// Catches negotiation loops: a repeated request is answered at most once.
TEST_P(NegotiatorAnswers, AnswerOnceAndNeverAgain) {
    const NegotiationCase& c = GetParam();
    Negotiator negotiator({kOptionBinary, kOptionComPort}, {kOptionBinary});
    Bytes out;
    negotiator.Receive(c.verb, c.option, out);
    EXPECT_EQ(out, c.first_answer);
    out.clear();
    negotiator.Receive(c.verb, c.option, out);
    negotiator.Receive(c.verb, c.option, out);
    EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, NegotiatorAnswers,
    testing::Values(
        NegotiationCase{"UnknownWillIsRefused", kWill, 24, {kIac, kDont, 24}},
        NegotiationCase{"UnknownDoIsRefused", kDo, kOptionEcho, {kIac, kWont, kOptionEcho}},
        NegotiationCase{"SupportedDoIsAgreed", kDo, kOptionComPort, {kIac, kWill, kOptionComPort}},
        NegotiationCase{"SupportedWillIsAgreed", kWill, kOptionBinary, {kIac, kDo, kOptionBinary}},
        NegotiationCase{"WontOfADisabledOptionNeedsNoAnswer", kWont, kOptionBinary, {}}),
    [](const testing::TestParamInfo<NegotiationCase>& param_info) {
        return param_info.param.name;
    });

TEST(Negotiator, AnswerToOwnRequestIsNotAnsweredAgain) {
    Negotiator negotiator({kOptionComPort}, {});
    Bytes out;
    negotiator.Request(kWill, kOptionComPort, out);
    EXPECT_EQ(out, (Bytes{kIac, kWill, kOptionComPort}));
    EXPECT_EQ(negotiator.Local(kOptionComPort), Negotiator::State::WantYes);
    out.clear();
    negotiator.Receive(kDo, kOptionComPort, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(negotiator.Local(kOptionComPort), Negotiator::State::Yes);
}

TEST(Negotiator, RefusedRequestEndsDisabled) {
    Negotiator negotiator({kOptionComPort}, {});
    Bytes out;
    negotiator.Request(kWill, kOptionComPort, out);
    out.clear();
    negotiator.Receive(kDont, kOptionComPort, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(negotiator.Local(kOptionComPort), Negotiator::State::No);
}

// Catches two ends answering each other's answers for ever: a DONT and a DO slipped in between
// a client and a server that agreed on binary make each answer the other's answer as a new
// request. The exchange must die out.
TEST(Negotiator, InjectedRequestsBetweenTwoEndsDieOut) {
    const std::initializer_list<std::uint8_t> options = {kOptionBinary, kOptionComPort};
    Negotiator client(options, options);
    Negotiator server(options, options);
    Bytes to_server;
    Bytes to_client;
    client.Request(kWill, kOptionBinary, to_server);
    client.Request(kDo, kOptionBinary, to_server);
    to_server.insert(to_server.end(), {kIac, kDont, kOptionBinary, kIac, kDo, kOptionBinary});
    int rounds = 0;
    while ((!to_server.empty() || !to_client.empty()) && rounds < 1000) {
        ++rounds;
        Bytes next_to_client;
        Bytes next_to_server;
        for (std::size_t i = 0; i + 2 < to_server.size(); i += 3) {
            server.Receive(to_server[i + 1], to_server[i + 2], next_to_client);
        }
        for (std::size_t i = 0; i + 2 < to_client.size(); i += 3) {
            client.Receive(to_client[i + 1], to_client[i + 2], next_to_server);
        }
        to_server = std::move(next_to_server);
        to_client = std::move(next_to_client);
    }
    EXPECT_LE(rounds, 4 * Negotiator::kChangesPerOption);
}

}  // namespace
}  // namespace vantor::platform::telnet
