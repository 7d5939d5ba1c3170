// vantor-cli serve's options: the line it serves (the stations' ports and the download each
// runs, read as a production line reads them), where it listens and the token it asks for.
#pragma once

#include <string>
#include <vector>

#include "line/line_options.h"
#include "platform/program_options.h"
#include "platform/result.h"
#include "serve/tls_layer.h"

namespace vantor::serve {

inline constexpr const char* kServeCommand = "serve";

struct ServeSettings {
    line::LineSettings line;
    std::string listen = "127.0.0.1:8080";
    std::string host = "127.0.0.1";  // of --listen, without brackets
    int port = 8080;
    bool loopback = true;  // --listen names this machine only
    std::string token_file;
    std::string token;    // read from the token file; empty when none is needed
    std::string history;  // --history, passed to the stations; empty when not given
    std::string tls_cert;
    std::string tls_key;
    std::shared_ptr<const TlsContext> tls;    // loaded from both; null: plain HTTP
    std::vector<std::string> public_origins;  // as a browser's Origin header says them
    bool allow_plain_token = false;
    bool no_history = false;           // --no-history, passed to the stations as well
    bool require_unit_serial = false;  // a start must say the unit's serial
    // --ate-listen: the command channel for test equipment; empty: none.
    std::string ate_listen;
    std::string ate_host;
    int ate_port = 0;
    bool ate_loopback = true;
    bool help = false;
    bool version = false;
};

// The options that serve's help, manual page and completions list.
platform::OptionTable ServeOptions();

// Reads serve's arguments (those after "serve"), checks the line as download checks one, and
// reads the token file; the usage message when something is wrong.
Result<void> ParseServe(const std::vector<std::string>& arguments, ServeSettings& settings);

// serve's --help.
const char* ServeHelp();

// "HOST:PORT" or "[V6ADDRESS]:PORT" into its host and port; the message when it is not one.
Result<void> ParseListen(const std::string& text, ServeSettings& settings);

// An origin a proxy presents this server under, "http[s]://HOST[:PORT]", into the form a
// browser's Origin header gives it (scheme and host in small letters, no default port, no
// closing slash); the message when it is not one.
Result<std::string> ParsePublicOrigin(const std::string& text);

// The token in `path`: one line, the file neither group- nor world-readable. The message when
// it cannot be used.
Result<std::string> ReadTokenFile(const std::string& path);

}  // namespace vantor::serve
