#include "serve/serve_options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/program_options.h"

namespace vantor::serve {

using platform::ArgumentReader;
using platform::ParseWhole;

namespace {

constexpr std::size_t kMostTokenBytes = 4096;

// What serve's arguments say before the line is read from them: the line's own options and
// the image, passed on as the line reads them.
struct ServeArguments {
    std::vector<std::string> line_options;
    std::vector<std::string> parameters;
    bool listen_given = false;
};

using TakeServeValue = Result<void> (*)(const std::string& value, ServeSettings& settings,
                                        ServeArguments& given);

Result<void> TakeListen(const std::string& value, ServeSettings& settings, ServeArguments& given) {
    given.listen_given = true;
    return ParseListen(value, settings);
}

// --ate-listen HOST:PORT, read as --listen is.
Result<void> TakeAteListen(const std::string& value, ServeSettings& settings, ServeArguments&) {
    ServeSettings ate;
    if (Result<void> parsed = ParseListen(value, ate); !parsed) {
        return Failure{"--ate-listen" + parsed.reason().substr(std::string("--listen").size())};
    }
    settings.ate_listen = value;
    settings.ate_host = ate.host;
    settings.ate_port = ate.port;
    settings.ate_loopback = ate.loopback;
    return {};
}

Result<void> TakePublicOrigin(const std::string& value, ServeSettings& settings, ServeArguments&) {
    auto origin = ParsePublicOrigin(value);
    if (!origin) {
        return Failure{origin.reason()};
    }
    settings.public_origins.push_back(std::move(*origin));
    return {};
}

// Who reads an option: serve alone, or the line as well, to which it is passed as given. The
// hidden one is passed on for the tests' simulated drives and is in neither the help nor the
// guesses at a misspelt option.
enum class ReadBy { kServe, kLine, kHiddenLine };

// One of serve's options. A switch turns `flag` on; an option with a value keeps it in `text`
// or has `take` check it. An option of the line may also be kept by serve.
struct ServeOption {
    platform::ProgramOption option;
    ReadBy read_by = ReadBy::kServe;
    bool ServeSettings::*flag = nullptr;
    std::string ServeSettings::*text = nullptr;
    TakeServeValue take = nullptr;
};

// Every option of serve, in the order the help names them.
const ServeOption kServeOptions[] = {
    {{"--files-list", "PATH"}, ReadBy::kLine},
    {{"--port", "PORT"}, ReadBy::kLine},
    {{"--ports-from", "FILE"}, ReadBy::kLine},
    {{"--listen", "HOST:PORT"}, ReadBy::kServe, nullptr, nullptr, TakeListen},
    {{"--token-file", "FILE"}, ReadBy::kServe, nullptr, &ServeSettings::token_file},
    {{"--tls-cert", "FILE"}, ReadBy::kServe, nullptr, &ServeSettings::tls_cert},
    {{"--tls-key", "FILE"}, ReadBy::kServe, nullptr, &ServeSettings::tls_key},
    {{"--public-origin", "URL"}, ReadBy::kServe, nullptr, nullptr, TakePublicOrigin},
    {{"--allow-plain-token"}, ReadBy::kServe, &ServeSettings::allow_plain_token},
    {{"--baud", "RATE"}, ReadBy::kLine},
    {{"--address", "N"}, ReadBy::kLine},
    {{"--skip-seeking"}, ReadBy::kLine},
    {{"--reset-after"}, ReadBy::kLine},
    {{"--strict"}, ReadBy::kLine},
    {{"--max-parallel", "N"}, ReadBy::kLine},
    {{"--retry", "N"}, ReadBy::kLine},
    {{"--history", "PLACE"}, ReadBy::kLine, nullptr, &ServeSettings::history},
    {{"--no-history"}, ReadBy::kLine, &ServeSettings::no_history},
    {{"--require-unit-serial"}, ReadBy::kServe, &ServeSettings::require_unit_serial},
    {{"--ate-listen", "HOST:PORT"}, ReadBy::kServe, nullptr, nullptr, TakeAteListen},
    {{"--help"}, ReadBy::kServe, &ServeSettings::help},
    {{"-h"}, ReadBy::kServe, &ServeSettings::help},
    {{"--version"}, ReadBy::kServe, &ServeSettings::version},
    {{"--virtual-time"}, ReadBy::kHiddenLine},
};

const ServeOption* FindServeOption(const std::string& name) {
    for (const ServeOption& option : kServeOptions) {
        if (option.option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

constexpr const char* kHelp =
    "usage: vantor-cli serve (IMAGE | --files-list PATH) (--port PORT... | --ports-from FILE)\n"
    "                        [--listen HOST:PORT] [--token-file FILE]\n"
    "                        [--tls-cert FILE --tls-key FILE] [options]\n"
    "\n"
    "Serves a production line on HTTP or HTTPS: a live dashboard of its stations at /, and an API\n"
    "(/api/stations, /api/start, /api/stop, /api/events, /api/history) to start and stop\n"
    "them. Each start runs a station's download in a process of its own, as a line does. It\n"
    "serves until SIGINT or SIGTERM; a running station is then stopped as Ctrl-C stops a line.\n"
    "\n"
    "options:\n"
    "  --files-list PATH   download every line of this files list instead of one IMAGE\n"
    "  --port PORT         given once per station: COM1 to COM4, a device, rfc2217://HOST:PORT,\n"
    "                      usb-serial:SERIAL, by-id:NAME, or sim[:OPTIONS] (a simulated drive)\n"
    "  --ports-from FILE   one port a line (# starts a comment)\n"
    "  --listen HOST:PORT  where to listen (default 127.0.0.1:8080); an address other than\n"
    "                      this machine's loopback needs --token-file, and HTTPS or\n"
    "                      --allow-plain-token\n"
    "  --token-file FILE   every request must carry \"Authorization: Bearer TOKEN\", TOKEN the\n"
    "                      file's first line; the file must not be readable by group or others\n"
    "  --tls-cert FILE     serve HTTPS with this certificate (PEM: the server's own, then the\n"
    "                      chain up to its authority); needs --tls-key\n"
    "  --tls-key FILE      the certificate's private key (PEM, no passphrase), which not\n"
    "                      every user of this machine may read\n"
    "  --public-origin URL an origin a proxy in front presents this server under, such as\n"
    "                      https://line-pc: its pages may start and stop stations and read\n"
    "                      the live stream; may be given more than once\n"
    "  --allow-plain-token accept the token over plain HTTP beyond this machine, where\n"
    "                      anyone on the network between can read it\n"
    "  --baud RATE         9600 (default) or 19200\n"
    "  --address N         activate the drive at this address, 0 to 31 or its character\n"
    "                      0-9, A-V, instead of seeking it\n"
    "  --skip-seeking      the drive is in its boot loader already: do not look for it first\n"
    "  --reset-after       reset the drive after a successful download\n"
    "  --strict            fail on what the design lets pass (statuses 20, 21, 23)\n"
    "  --max-parallel N    at most N stations at once (default: all)\n"
    "  --retry N           run a failed station again from the start, up to N times\n"
    "  --history PLACE     the history the stations record their runs in and /api/history\n"
    "                      reads: a SQLite file or a postgresql:// URL (default\n"
    "                      $VANTOR_HISTORY, else the station's own file)\n"
    "  --no-history        the stations record nothing (and the page shows no history)\n"
    "  --require-unit-serial  a station starts only with the unit's serial\n"
    "  --ate-listen HOST:PORT  a command channel for test equipment (one command a line:\n"
    "                      START n SERIAL, WAIT n, STATUS, STOP n, HELP); beyond this\n"
    "                      machine's loopback it needs --token-file, as --listen does\n"
    "  --help, -h          this help\n"
    "  --version           the program's version\n"
    "\n"
    "A request that starts or stops a station is refused (403) when it comes from another\n"
    "site's page (its Origin is neither this server nor a --public-origin); without a token,\n"
    "also when it names another host.\n"
    "exit status: 64 usage error, 130/143 after SIGINT/SIGTERM.\n";

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

platform::OptionTable ServeOptions() {
    static const std::vector<platform::ProgramOption> shown = [] {
        std::vector<platform::ProgramOption> options;
        for (const ServeOption& option : kServeOptions) {
            if (option.read_by != ReadBy::kHiddenLine) {
                options.push_back(option.option);
            }
        }
        return options;
    }();
    return shown;
}

const char* ServeHelp() {
    return kHelp;
}

Result<void> ParseListen(const std::string& text, ServeSettings& settings) {
    const std::string wrong = "--listen \"" + text + "\": HOST:PORT, such as 127.0.0.1:8080";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return Failure{wrong};
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return Failure{wrong};
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return Failure{wrong + " (an IPv6 address in brackets: [::1]:8080)"};
    }
    const auto port = ParseWhole(text.substr(colon + 1), 1, 65535);
    if (!port) {
        return Failure{"--listen \"" + text + "\": the port is a number from 1 to 65535"};
    }
    const bool printable = std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == ':';
    });
    if (!printable) {
        return Failure{wrong};
    }
    settings.listen = text;
    settings.host = host;
    settings.port = static_cast<int>(*port);
    settings.loopback = IsLoopbackHost(host);
    return {};
}

Result<std::string> ParsePublicOrigin(const std::string& text) {
    const std::string wrong = "--public-origin \"" + text +
                              "\": SCHEME://HOST[:PORT] as the browser shows it, such as "
                              "https://line-pc or https://line-pc:8443";
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto separator = lower.find("://");
    const std::string scheme = lower.substr(0, separator);
    if (separator == std::string::npos || (scheme != "http" && scheme != "https") ||
        lower.size() > 255) {
        return Failure{wrong};
    }
    std::string authority = lower.substr(separator + 3);
    if (!authority.empty() && authority.back() == '/') {
        authority.pop_back();  // a browser's Origin has no path; one given with "/" means none
    }
    if (authority.empty()) {
        return Failure{wrong};
    }
    // Where the host ends: after its brackets for IPv6, else at a colon.
    const auto host_end = authority.rfind(':') == std::string::npos ||
                                  (authority.front() == '[' && authority.back() == ']')
                              ? authority.size()
                              : authority.rfind(':');
    std::string host = authority.substr(0, host_end);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    const std::string bare = bracketed ? host.substr(1, host.size() - 2) : host;
    const bool fits = !bare.empty() && bare.front() != '.' && bare.front() != '-' &&
                      std::all_of(bare.begin(), bare.end(), [bracketed](char c) {
                          return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' ||
                                 c == '-' || (bracketed && c == ':');
                      });
    if (!fits) {
        return Failure{wrong};
    }
    std::string port;
    if (host_end < authority.size()) {
        const auto number = ParseWhole(authority.substr(host_end + 1), 1, 65535);
        if (!number) {
            return Failure{wrong + " (the port is a number from 1 to 65535)"};
        }
        // A browser leaves the scheme's own port out of the origin.
        if (*number != (scheme == "https" ? 443 : 80)) {
            port = ":" + std::to_string(*number);
        }
    }
    return scheme + "://" + host + port;
}

Result<std::string> ReadTokenFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return Failure{"--token-file \"" + path + "\": " + std::strerror(errno)};
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::size_t>(status.st_size) > kMostTokenBytes) {
        return Failure{"--token-file \"" + path + "\": not a regular file of at most 4 KiB"};
    }
    if ((status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        return Failure{"--token-file \"" + path +
                       "\": readable by group or others; make it the owner's only (chmod 600)"};
    }
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    if (file.bad()) {
        return Failure{"--token-file \"" + path + "\": cannot be read"};
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    const std::string token =
        first == std::string::npos ? "" : line.substr(first, last - first + 1);
    const bool printable =
        std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    if (token.size() < 16 || !printable) {
        return Failure{
            "--token-file \"" + path +
            "\": the first line must be a token of at least 16 printable characters, no spaces"};
    }
    return token;
}

namespace {

// Takes one of serve's options, read with its value (nothing for a switch).
Result<void> TakeServeOption(const ServeOption& option, const std::string& name,
                             const std::optional<std::string>& value, ServeSettings& settings,
                             ServeArguments& given) {
    if (option.read_by != ReadBy::kServe) {
        given.line_options.push_back(name);
        if (value) {
            given.line_options.push_back(*value);
        }
    }
    if (option.flag != nullptr) {
        settings.*option.flag = true;
    } else if (option.text != nullptr) {
        settings.*option.text = *value;
    } else if (option.take != nullptr) {
        return option.take(*value, settings, given);
    }
    return {};
}

Result<void> ReadServeArguments(const std::vector<std::string>& arguments, ServeSettings& settings,
                                ServeArguments& given) {
    ArgumentReader reader(arguments);
    while (!reader.Done()) {
        const std::string argument = reader.Next();
        if (!reader.IsOption(argument)) {
            given.parameters.push_back(argument);
            continue;
        }
        const ServeOption* option = FindServeOption(argument);
        if (option == nullptr) {
            return Failure{platform::UnknownOption(argument, ServeOptions())};
        }
        const auto value = platform::ReadOptionValue(reader, option->option, argument);
        if (!value) {
            return Failure{value.reason()};
        }
        if (Result<void> taken = TakeServeOption(*option, argument, *value, settings, given);
            !taken) {
            return taken;
        }
    }
    return {};
}

// Reads and checks the line that serve serves, as download reads and checks one.
Result<void> ReadServedLine(const ServeArguments& given, ServeSettings& settings) {
    if (given.parameters.size() > 1) {
        return Failure{"one image, not " + std::to_string(given.parameters.size())};
    }
    std::vector<std::string> line_arguments = given.line_options;
    if (!given.parameters.empty()) {
        line_arguments.push_back("--");
        line_arguments.push_back(given.parameters.front());
    }
    if (Result<void> parsed = line::ParseLine(line_arguments, settings.line); !parsed) {
        return parsed;
    }
    if (settings.line.ports.empty() && settings.line.ports_from.empty()) {
        return Failure{"no station: give --port PORT for each, or --ports-from FILE"};
    }
    if (given.parameters.empty() && settings.line.files_list.empty()) {
        return Failure{"no image: give IMAGE or --files-list PATH"};
    }
    return line::CheckLine(settings.line);
}

// Loads the certificate and key when both are given.
Result<void> ReadTls(ServeSettings& settings) {
    if (settings.tls_cert.empty() != settings.tls_key.empty()) {
        return Failure{settings.tls_cert.empty() ? "--tls-key needs --tls-cert FILE as well"
                                                 : "--tls-cert needs --tls-key FILE as well"};
    }
    if (settings.tls_cert.empty()) {
        return {};
    }
    auto loaded = TlsContext::Load(settings.tls_cert, settings.tls_key);
    if (!loaded) {
        return Failure{loaded.reason()};
    }
    settings.tls = std::move(*loaded);
    return {};
}

// Checks that a token guards whatever listens beyond this machine, and that the token does
// not cross the network in the clear unless the operator says so.
Result<void> CheckGuarded(const ServeSettings& settings) {
    if (settings.token_file.empty() && !settings.loopback) {
        return Failure{"--listen " + settings.listen +
                       " reaches beyond this machine: give --token-file FILE as well"};
    }
    if (settings.token_file.empty() && !settings.ate_listen.empty() && !settings.ate_loopback) {
        return Failure{"--ate-listen " + settings.ate_listen +
                       " reaches beyond this machine: give --token-file FILE as well"};
    }
    if (!settings.loopback && !settings.tls && !settings.allow_plain_token) {
        // Anyone on the network between could read the token and then run the line.
        return Failure{
            "--listen " + settings.listen +
            " reaches beyond this machine, where plain HTTP shows the token to anyone on "
            "the way: serve HTTPS (--tls-cert FILE --tls-key FILE), listen on loopback "
            "behind a TLS proxy, or say --allow-plain-token"};
    }
    if (!settings.ate_listen.empty() && !settings.ate_loopback && !settings.allow_plain_token) {
        // The command channel is plain TCP: its TOKEN line crosses the network as it is.
        return Failure{
            "--ate-listen " + settings.ate_listen +
            " reaches beyond this machine, where the plain channel shows the token to anyone "
            "on the way: listen on loopback (behind an SSH or TLS tunnel), or say "
            "--allow-plain-token"};
    }
    return {};
}

}  // namespace

Result<void> ParseServe(const std::vector<std::string>& arguments, ServeSettings& settings) {
    ServeArguments given;
    if (Result<void> read = ReadServeArguments(arguments, settings, given); !read) {
        return read;
    }
    if (settings.help || settings.version) {
        return {};
    }
    if (!given.listen_given) {
        // The default address, which always reads.
        static_cast<void>(ParseListen(settings.listen, settings));
    }
    if (Result<void> line = ReadServedLine(given, settings); !line) {
        return line;
    }
    if (Result<void> tls = ReadTls(settings); !tls) {
        return tls;
    }
    if (!settings.token_file.empty()) {
        auto token = ReadTokenFile(settings.token_file);
        if (!token) {
            return Failure{token.reason()};
        }
        settings.token = std::move(*token);
    }
    return CheckGuarded(settings);
}

}  // namespace vantor::serve
