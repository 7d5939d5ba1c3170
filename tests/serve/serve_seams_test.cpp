// vantor-cli serve at its seams: the live stream's fan-out, the door's judgement of a request,
// the options, and the request guard through a real HTTP client on a real socket, with a line
// control that this test answers in place of the line's loop.
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <utility>

#include "serve/event_hub.h"
#include "serve/http_door.h"
#include "serve/http_front.h"
#include "serve/line_control.h"
#include "serve/run_api.h"
#include "serve/serve_options.h"

namespace vantor::serve {
namespace {

TEST(RunWaits, EndWithTheRunOrTheBoundAndAreFewAtOnce) {
    LineControl control(2);
    control.PublishRun("a1", {"{\"done\":false}", false});
    bool busy = false;
    // Not ended within the bound: the run as it stands.
    auto standing = control.WaitForRun("a1", std::chrono::milliseconds(20), 1, busy);
    ASSERT_TRUE(standing);
    EXPECT_FALSE(standing->done);
    auto waiting = std::async(std::launch::async, [&control] {
        bool busy_too = false;
        return control.WaitForRun("a1", std::chrono::seconds(30), 1, busy_too);
    });
    while (waiting.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        bool refused = false;
        // One waits already: a second is turned away rather than holding another thread (until
        // the first waits, this one waits a millisecond itself).
        if (!control.WaitForRun("a1", std::chrono::milliseconds(1), 1, refused) && refused) {
            control.PublishRun("a1", {"{\"done\":true}", true});
        }
    }
    const auto ended = waiting.get();
    ASSERT_TRUE(ended);
    EXPECT_TRUE(ended->done);
    EXPECT_FALSE(control.WaitForRun("b2", std::chrono::seconds(30), 1, busy));
    EXPECT_FALSE(busy);
}

TEST(RunWaits, KeepTheLatestRunsOnly) {
    LineControl control(1);
    for (std::size_t i = 0; i <= LineControl::kMostRuns; ++i) {
        control.PublishRun("r" + std::to_string(i), {"{}", true});
    }
    EXPECT_FALSE(control.Run("r0"));
    EXPECT_TRUE(control.Run("r1"));
    EXPECT_TRUE(control.Run("r" + std::to_string(LineControl::kMostRuns)));
}

TEST(StartBody, TakesTheUnitsFieldsAndNothingElse) {
    RunLabels labels;
    Result<void> blank = ReadStartBody(" \r\n", labels);
    EXPECT_TRUE(blank) << blank.reason();
    Result<void> read =
        ReadStartBody(R"({"unit_serial":"SN 7","operator":"Ana Lima","order":"W1"})", labels);
    EXPECT_TRUE(read) << read.reason();
    EXPECT_EQ(labels.unit_serial, "SN 7");
    EXPECT_EQ(labels.operator_name, "Ana Lima");
    EXPECT_EQ(labels.order, "W1");
    const std::string not_an_object =
        "the body is a JSON object such as {\"unit_serial\": \"SN12345\", \"operator\": "
        "\"ana\", \"order\": \"WO-118\"}, or nothing";
    const std::pair<const char*, std::string> wrong[] = {
        {"null", not_an_object},
        {"[]", not_an_object},
        {"{\"unit_serial\":\"SN1\"", not_an_object},
        {"{\"unit_serial\":null}", "unit_serial: a string"},
        {"{\"lot\":\"L1\"}", "\"lot\" is not a field of a start: unit_serial, operator, order"},
        {"{\"order\":\"\"}", "order needs a value"},
        {"{\"order\":\" W1\"}", "order \" W1\": the value begins or ends with a blank"},
        {"{\"order\":\"W\\u0007\"}",
         "order: the value holds a control character (character 2); give it as printable text"},
    };
    for (const auto& [body, message] : wrong) {
        RunLabels ignored;
        EXPECT_EQ(ReadStartBody(body, ignored).reason(), message) << body;
    }
    EXPECT_EQ(CheckSerialGiven(RunLabels{}, true).reason(),
              "this line needs the unit's serial to start a station (serve "
              "--require-unit-serial): give unit_serial");
    Result<void> not_needed = CheckSerialGiven(RunLabels{}, false);
    EXPECT_TRUE(not_needed) << not_needed.reason();
}

TEST(EventHub, BoundsEachAddressAndKeepsTheLastPlaceForTheOwnPage) {
    EventHub hub(3, 1, 8);
    auto first = hub.Join("state", "{}", "10.0.0.7", false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(hub.Join("state", "{}", "10.0.0.7", false), nullptr);  // one per address
    auto second = hub.Join("state", "{}", "10.0.0.8", false);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(hub.Join("state", "{}", "10.0.0.9", false), nullptr);  // the last is kept
    EXPECT_NE(hub.Join("state", "{}", "10.0.0.7", true), nullptr);   // for the own page
    EXPECT_EQ(hub.Join("state", "{}", "10.0.0.9", true), nullptr);   // and then it is full
}

TEST(EventHub, NumbersEventsAndGreetsWithTheLatestId) {
    EventHub hub(4, 4, 8);
    auto early = hub.Join("state", "A", "::1", true);
    hub.Publish("state", "B");
    hub.Publish("state", "C");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    EXPECT_EQ(early->Next(deadline), "retry: 2000\nid: 0\nevent: state\ndata: A\n\n");
    EXPECT_EQ(early->Next(deadline), "id: 1\nevent: state\ndata: B\n\n");
    EXPECT_EQ(early->Next(deadline), "id: 2\nevent: state\ndata: C\n\n");
    auto late = hub.Join("state", "C", "::1", true);
    EXPECT_EQ(late->Next(deadline), "retry: 2000\nid: 2\nevent: state\ndata: C\n\n");
}

DoorVerdict Judge(std::string bytes, bool* has_body = nullptr, std::string* after = nullptr) {
    bool body = false;
    const DoorVerdict verdict = JudgeRequest(bytes, DoorSettings{}, body);
    if (has_body != nullptr) {
        *has_body = body;
    }
    if (after != nullptr) {
        *after = bytes;
    }
    return verdict;
}

TEST(Door, WaitsForTheWholeRequestAndRefusesWhatBreaksItsBounds) {
    EXPECT_EQ(Judge("GET / HTTP/1.1\r\nHost: a").length, 0u);
    EXPECT_EQ(Judge("GET / HTTP/1.1\r\nHost: a\r\n\r\n").length, 27u);
    bool has_body = true;
    EXPECT_EQ(Judge("POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nab", &has_body).length, 0u);
    EXPECT_EQ(Judge("POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET", &has_body).length, 42u);
    EXPECT_TRUE(has_body);
    EXPECT_EQ(Judge("GET / HTTP/1.1\r\nX: " + std::string(5000, 'x')).refuse_status, 431);
    EXPECT_EQ(Judge("GET / HTTP/1.1\r\nX: " + std::string(5000, 'x') + "\r\n\r\n").refuse_status,
              431);
    EXPECT_EQ(Judge("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").refuse_status, 411);
    EXPECT_EQ(Judge("POST / HTTP/1.1\r\nContent-Length: 5000\r\n\r\n").refuse_status, 413);
    EXPECT_EQ(
        Judge("POST / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 1\r\n\r\nx").refuse_status,
        400);
}

TEST(Door, GivesABodilessPostAnEmptyBody) {
    std::string after;
    bool has_body = true;
    const DoorVerdict verdict =
        Judge("POST /api/start HTTP/1.1\r\nHost: a\r\n\r\n", &has_body, &after);
    EXPECT_EQ(after, "POST /api/start HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(verdict.length, after.size());
    EXPECT_FALSE(has_body);
}

TEST(ServeOptions, ReadsTheListeningAddress) {
    ServeSettings settings;
    Result<void> v6 = ParseListen("[::1]:8081", settings);
    EXPECT_TRUE(v6) << v6.reason();
    EXPECT_EQ(settings.host, "::1");
    EXPECT_EQ(settings.port, 8081);
    EXPECT_TRUE(settings.loopback);
    Result<void> any = ParseListen("0.0.0.0:80", settings);
    EXPECT_TRUE(any) << any.reason();
    EXPECT_FALSE(settings.loopback);
    EXPECT_EQ(ParseListen("::1:8080", settings).reason(),
              "--listen \"::1:8080\": HOST:PORT, such as 127.0.0.1:8080 (an IPv6 address in "
              "brackets: [::1]:8080)");
    EXPECT_EQ(ParseListen("127.0.0.1:0", settings).reason(),
              "--listen \"127.0.0.1:0\": the port is a number from 1 to 65535");
    EXPECT_EQ(settings.listen, "0.0.0.0:80");  // a refused address leaves the last one
}

TEST(ServeOptions, NamesTheOptionMeantByAMisspeltOne) {
    ServeSettings settings;
    EXPECT_EQ(ParseServe({"demo.orb", "--port", "sim", "--lisen", "[::1]:8081"}, settings).reason(),
              "unknown option \"--lisen\"; did you mean \"--listen\"?");
}

TEST(ServeOptions, ReadsAPublicOriginAsABrowserSendsIt) {
    const std::pair<const char*, const char*> read[] = {
        {"https://line-pc", "https://line-pc"},
        {"HTTPS://Line-PC:443/", "https://line-pc"},
        {"http://line-pc:80", "http://line-pc"},
        {"https://line-pc:8443", "https://line-pc:8443"},
        {"http://[fd00::2]:8080", "http://[fd00::2]:8080"},
    };
    for (const auto& [given, origin] : read) {
        const auto parsed = ParsePublicOrigin(given);
        ASSERT_TRUE(parsed) << given << ": " << parsed.reason();
        EXPECT_EQ(*parsed, origin) << given;
    }
    for (const char* wrong :
         {"line-pc", "ftp://line-pc", "https://line-pc/x", "https://a@b", "https://line-pc:70000",
          "https://", "https://fd00::2", "https://-line"}) {
        EXPECT_FALSE(ParsePublicOrigin(wrong)) << wrong;
    }
}

// Settings whose stations' command takes --port PORT and any other argument, as the line's
// checks need one.
ServeSettings WithAnyStationCommand() {
    ServeSettings settings;
    settings.line.command.option_takes_value = [](const std::string& option) {
        return option == "--port";
    };
    settings.line.command.check_usage = [](const std::vector<std::string>&) {
        return Result<void>();
    };
    return settings;
}

// The token crosses plain HTTP beyond loopback only when the operator says so.
TEST(ServeOptions, KeepsTheTokenOffPlainHttpBeyondLoopback) {
    std::string path = (std::filesystem::temp_directory_path() / "vantor-token-XXXXXX").string();
    const int fd = ::mkstemp(path.data());  // the owner's only
    ASSERT_GE(fd, 0);
    struct Removed {
        ~Removed() { ::unlink(path.c_str()); }
        const std::string& path;
    } removed{path};
    ASSERT_EQ(::write(fd, "k3y-of-the-line-0123456789\n", 27), 27);
    ::close(fd);
    const std::vector<std::string> beyond = {"demo.orb",     "--port",       "sim", "--listen",
                                             "0.0.0.0:8080", "--token-file", path};
    ServeSettings refused = WithAnyStationCommand();
    EXPECT_EQ(ParseServe(beyond, refused).reason(),
              "--listen 0.0.0.0:8080 reaches beyond this machine, where plain HTTP shows the token "
              "to anyone on the way: serve HTTPS (--tls-cert FILE --tls-key FILE), listen on "
              "loopback behind a TLS proxy, or say --allow-plain-token");
    std::vector<std::string> allowed = beyond;
    allowed.push_back("--allow-plain-token");
    ServeSettings settings = WithAnyStationCommand();
    Result<void> parsed = ParseServe(allowed, settings);
    EXPECT_TRUE(parsed) << parsed.reason();
    EXPECT_EQ(settings.token, "k3y-of-the-line-0123456789");
    std::vector<std::string> on_loopback = beyond;
    on_loopback[4] = "127.0.0.1:8080";
    ServeSettings local = WithAnyStationCommand();
    Result<void> parsed_local = ParseServe(on_loopback, local);
    EXPECT_TRUE(parsed_local) << parsed_local.reason();
}

// Beyond loopback a token must guard the server and its command channel alike.
TEST(ServeOptions, AsksForATokenBeyondLoopback) {
    ServeSettings web = WithAnyStationCommand();
    EXPECT_EQ(ParseServe({"demo.orb", "--port", "sim", "--listen", "0.0.0.0:8080"}, web).reason(),
              "--listen 0.0.0.0:8080 reaches beyond this machine: give --token-file FILE as well");
    ServeSettings ate = WithAnyStationCommand();
    EXPECT_EQ(
        ParseServe({"demo.orb", "--port", "sim", "--ate-listen", "0.0.0.0:7070"}, ate).reason(),
        "--ate-listen 0.0.0.0:7070 reaches beyond this machine: give --token-file FILE as well");
    ServeSettings bad_ate = WithAnyStationCommand();
    EXPECT_EQ(ParseServe({"demo.orb", "--port", "sim", "--ate-listen", "7070"}, bad_ate).reason(),
              "--ate-listen \"7070\": HOST:PORT, such as 127.0.0.1:8080");
}

// Catches a server that would start on plain HTTP when its TLS material cannot be used.
TEST(ServeOptions, LoadsNoTlsFromAFileThatIsNotThere) {
    const std::string nowhere =
        (std::filesystem::temp_directory_path() / "vantor-no-such-certificate.pem").string();
    ServeSettings settings = WithAnyStationCommand();
    EXPECT_EQ(ParseServe({"demo.orb", "--port", "sim", "--tls-cert", nowhere, "--tls-key", nowhere},
                         settings)
                  .reason(),
              "--tls-cert \"" + nowhere + "\": " + std::strerror(ENOENT));
    EXPECT_EQ(settings.tls, nullptr);
}

// Catches an option of the line that serve keeps for itself (or one of serve's passed on): the
// stations' downloads would miss it, or refuse it.
TEST(ServeOptions, PassesTheLinesOptionsOnAndKeepsItsOwn) {
    ServeSettings settings = WithAnyStationCommand();
    settings.line.command.option_takes_value = [](const std::string& option) {
        return option == "--port" || option == "--history" || option == "--baud";
    };
    Result<void> parsed = ParseServe(
        {"demo.orb", "--port", "sim", "--history", "site.sqlite", "--public-origin",
         "HTTPS://Line-PC:443/", "--baud", "19200", "--virtual-time", "--require-unit-serial"},
        settings);
    EXPECT_TRUE(parsed) << parsed.reason();
    EXPECT_EQ(settings.line.child_options,
              (std::vector<std::string>{"--history", "site.sqlite", "--baud", "19200",
                                        "--virtual-time"}));
    EXPECT_EQ(settings.line.ports, std::vector<std::string>{"sim"});
    EXPECT_EQ(settings.history, "site.sqlite");
    EXPECT_EQ(settings.public_origins, std::vector<std::string>{"https://line-pc"});
    EXPECT_TRUE(settings.require_unit_serial);
    // The tests' own option is passed on but guessed at for no one.
    ServeSettings misspelt;
    EXPECT_EQ(ParseServe({"--virtual-tim"}, misspelt).reason(), "unknown option \"--virtual-tim\"");
}

// A browser leaves the scheme's own port out of Host: a server on it must know itself so.
TEST(OwnHosts, WithAndWithoutTheSchemesPort) {
    using Hosts = std::vector<std::string>;
    EXPECT_EQ(OwnHosts("0.0.0.0", 8080, false, {"https://line-pc"}),
              (Hosts{"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "0.0.0.0:8080", "line-pc"}));
    EXPECT_EQ(OwnHosts("::1", 80, false, {}),
              (Hosts{"127.0.0.1:80", "127.0.0.1", "localhost:80", "localhost", "[::1]:80", "[::1]",
                     "[::1]:80", "[::1]"}));
    EXPECT_EQ(OwnHosts("127.0.0.1", 443, true, {"https://line-pc:8443"}),
              (Hosts{"127.0.0.1:443", "127.0.0.1", "localhost:443", "localhost", "[::1]:443",
                     "[::1]", "127.0.0.1:443", "127.0.0.1", "line-pc:8443"}));
    const Hosts plain_on_443 = OwnHosts("127.0.0.1", 443, false, {});
    EXPECT_EQ(std::count(plain_on_443.begin(), plain_on_443.end(), "localhost"), 0);
}

// A server of two stations whose line is this test: it publishes the stations and answers
// the requests that reach the line.
class Guard : public ::testing::Test {
  protected:
    void SetUp() override {
        control_.Publish({"[{\"number\":1},{\"number\":2}]",
                          "{}",
                          {"", ""},
                          "vantor_up 1\n",
                          {"{\"number\":1}", "{\"number\":2}"}});
        Result<void> bound = front_.Bind();
        ASSERT_TRUE(bound) << bound.reason();
        front_.Start();
    }
    void TearDown() override { front_.Stop(); }

    LineControl control_{2};
    EventHub events_{8, 4, 8};
    HttpFront front_{{"127.0.0.1", 0, true, "", "", nullptr, {}}, control_, events_};
};

TEST_F(Guard, AnswersWhatTheRulesAllowAndRefusesTheRest) {
    httplib::Client client("127.0.0.1", front_.Port());
    auto stations = client.Get("/api/stations");
    ASSERT_TRUE(stations);
    EXPECT_EQ(stations->status, 200);
    EXPECT_EQ(stations->body, "[{\"number\":1},{\"number\":2}]");
    auto wrong_method = client.Put("/api/start", "", "text/plain");
    ASSERT_TRUE(wrong_method);
    EXPECT_EQ(wrong_method->status, 405);
    EXPECT_EQ(wrong_method->get_header_value("Allow"), "POST");
    auto foreign = client.Post("/api/start", {{"Origin", "http://evil.example"}}, "", "");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    auto twice =
        client.Get("/api/stations", {{"Authorization", "Bearer a"}, {"Authorization", "Bearer b"}});
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->status, 400);
    auto cross_site = client.Get("/api/events", {{"Sec-Fetch-Site", "cross-site"}});
    ASSERT_TRUE(cross_site);
    EXPECT_EQ(cross_site->status, 403);
    auto none = client.Post("/api/stations/3/start", "", "");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    auto second = client.Get("/api/stations/2");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, "{\"number\":2}");
    auto unknown_field =
        client.Post("/api/stations/1/start", "{\"lot\":\"L7\"}", "application/json");
    ASSERT_TRUE(unknown_field);
    EXPECT_EQ(unknown_field->status, 400);
    EXPECT_NE(unknown_field->body.find("is not a field of a start"), std::string::npos);
    auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->body, "vantor_up 1\n");
}

TEST_F(Guard, HandsAStartOfStationOneToTheLineAsItsFirst) {
    auto asked = std::async(std::launch::async, [this] {
        httplib::Client client("127.0.0.1", front_.Port());
        return client.Post("/api/stations/1/start", "", "");
    });
    auto requests = control_.Take(std::chrono::seconds(10));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]->station, std::optional<std::size_t>(0));
    requests[0]->answer.set_value({200, "[]"});
    auto answer = asked.get();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

}  // namespace
}  // namespace vantor::serve
