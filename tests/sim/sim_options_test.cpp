// The options of the device address "sim:OPTIONS".
#include <gtest/gtest.h>

#include <ostream>

#include <functional>

#include "sim/sim_options.h"
#include "sim/simulated_line.h"
#include "support/test_support.h"

namespace vantor::sim {
namespace {

struct GoodCase {
    std::string text;
    std::function<bool(const SimOptions&)> holds;
};

void PrintTo(const GoodCase& c, std::ostream* os) {
    *os << "\"" << c.text << "\"";
}

class GoodOptions : public ::testing::TestWithParam<GoodCase> {};

INSTANTIATE_TEST_SUITE_P(
    Options, GoodOptions,
    ::testing::Values(
        GoodCase{"", [](const SimOptions& o) { return o.ident == 0x2083 && o.addresses.empty(); }},
        GoodCase{"ident=0x1AC5", [](const SimOptions& o) { return o.ident == 0x1AC5; }},
        GoodCase{"ident=8323", [](const SimOptions& o) { return o.ident == 0x2083; }},
        GoodCase{"address=31",
                 [](const SimOptions& o) { return o.addresses == std::vector<int>{31}; }},
        GoodCase{"addresses=3+7",
                 [](const SimOptions& o) {
                     return o.addresses == std::vector<int>{3, 7};
                 }},
        GoodCase{"stay-in-command-mode",
                 [](const SimOptions& o) { return o.stay_in_command_mode; }},
        GoodCase{"password=secret", [](const SimOptions& o) { return o.password == "secret"; }},
        GoodCase{"prompt-length=2", [](const SimOptions& o) { return o.prompt_length == 2; }},
        GoodCase{"no-break-answer", [](const SimOptions& o) { return !o.answer_break; }},
        GoodCase{"ignore-breaks=3", [](const SimOptions& o) { return o.ignored_breaks == 3; }},
        GoodCase{"break-delay=40", [](const SimOptions& o) { return o.break_delay_ms == 40; }},
        GoodCase{"break-ms=0x10", [](const SimOptions& o) { return o.break_length_ms == 16; }},
        GoodCase{"endless-break", [](const SimOptions& o) { return o.endless_break; }},
        GoodCase{"init-ack=0x616B", [](const SimOptions& o) { return o.init_ack == 0x616B; }},
        GoodCase{"init-length=5", [](const SimOptions& o) { return o.init_reply_length == 5; }},
        GoodCase{"stray=1", [](const SimOptions& o) { return o.stray_bytes == 1; }},
        GoodCase{"init-delay=150", [](const SimOptions& o) { return o.init_delay_ms == 150; }},
        GoodCase{"ack-on-send=3", [](const SimOptions& o) { return o.ack_on_send == 3; }},
        GoodCase{"refuse-first", [](const SimOptions& o) { return o.refuse_first; }},
        GoodCase{"response=??", [](const SimOptions& o) { return o.response == 0x3F3F; }},
        GoodCase{"response=RD", [](const SimOptions& o) { return o.response == 0x5244; }},
        GoodCase{"response=0x4552", [](const SimOptions& o) { return o.response == 0x4552; }},
        GoodCase{"status=0x0080", [](const SimOptions& o) { return o.status == 0x0080; }},
        GoodCase{"no-response", [](const SimOptions& o) { return o.no_response; }},
        GoodCase{"ack-delay=0", [](const SimOptions& o) { return o.ack_delay_ms == 0; }},
        GoodCase{"process-ms=2500", [](const SimOptions& o) { return o.process_ms == 2500; }},
        GoodCase{"noise=0.01", [](const SimOptions& o) { return o.noise == 0.01; }},
        GoodCase{"seed=18446744073709551615",
                 [](const SimOptions& o) { return o.seed == 18446744073709551615ULL; }},
        GoodCase{"fifo=1", [](const SimOptions& o) { return o.fifo_trigger == 1; }},
        GoodCase{"fifo-timeout=8", [](const SimOptions& o) { return o.fifo_timeout_chars == 8; }},
        GoodCase{"address=2,ident=0x1283,noise=0.5,seed=3", [](const SimOptions& o) {
                     return o.addresses == std::vector<int>{2} && o.ident == 0x1283 &&
                            o.noise == 0.5 && o.seed == 3;
                 }}));

TEST_P(GoodOptions, AreParsedIntoTheirField) {
    const auto options = ParseSimOptions(GetParam().text);
    ASSERT_TRUE(options) << options.reason();
    EXPECT_TRUE(GetParam().holds(*options)) << GetParam().text;
}

struct BadCase {
    std::string text;
    std::string named;  // what the error message must name
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << "\"" << c.text << "\"";
}

class BadOptions : public ::testing::TestWithParam<BadCase> {};

INSTANTIATE_TEST_SUITE_P(
    Options, BadOptions,
    ::testing::Values(
        BadCase{"bogus", "bogus"}, BadCase{"ident=0x10000", "ident"}, BadCase{"ident=", "ident"},
        BadCase{"ident", "ident"}, BadCase{"ident=12ab", "ident"}, BadCase{"address=32", "address"},
        BadCase{"address=-1", "address"}, BadCase{"addresses=3+3", "addresses"},
        BadCase{"addresses=3+", "addresses"}, BadCase{"password=", "password"},
        BadCase{"refuse-first=1", "refuse-first"}, BadCase{"break-ms=99999999", "break-ms"},
        BadCase{"ack-on-send=0", "ack-on-send"}, BadCase{"response=?", "response"},
        BadCase{"response=0x1FFFF", "response"}, BadCase{"noise=1.5", "noise"},
        BadCase{"noise=nan", "noise"}, BadCase{"seed=-4", "seed"}, BadCase{"fifo=0", "fifo"},
        BadCase{"ident=0x2083,,seed=1", "empty"}, BadCase{"seed=1,stray=x", "stray"}));

TEST_P(BadOptions, AreRefusedWithTheirName) {
    const auto options = ParseSimOptions(GetParam().text);
    EXPECT_FALSE(options);
    EXPECT_NE(options.reason().find(GetParam().named), std::string::npos) << options.reason();
}

TEST(OpenSimulatedDevice, OpensWithGoodOptionsAndSaysWhyNotWithBad) {
    std::string error;
    EXPECT_EQ(OpenSimulatedDevice("address=4").reason(), "");
    error = OpenSimulatedDevice("address=40").reason();
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find("address"), std::string::npos) << error;
    EXPECT_FALSE(OpenSimulatedDevice("address=40"));
}

}  // namespace
}  // namespace vantor::sim
