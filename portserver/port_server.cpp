#include "portserver/port_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/program_options.h"
#include "platform/serial/posix_serial_device.h"
#include "platform/serial/rfc2217_server.h"

namespace vantor::portserver {

namespace {

namespace server = platform::rfc2217_server;

// How long the accepting loop waits for a client before it looks at `stop` again.
constexpr int kAcceptPollMs = 100;
// A newcomer that finds the port busy gives the client before it this long to be seen leaving:
// a client that reconnects at once would otherwise meet its own earlier connection.
constexpr int kHandOverMs = 200;
// An IPv4 address as an IPv6 address mapped from it: ::ffff:a.b.c.d.
constexpr int kMappedPrefixBits = 96;

std::array<std::uint8_t, 16> Mapped(const in_addr& v4) {
    std::array<std::uint8_t, 16> mapped{};
    mapped[10] = 0xFF;
    mapped[11] = 0xFF;
    std::memcpy(mapped.data() + 12, &v4, 4);
    return mapped;
}

void Log(std::FILE* log, const std::string& line) {
    if (log != nullptr) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fflush(log);
    }
}

// One client, served on a thread of its own so that the accepting loop can turn others away.
class Served {
  public:
    Served(int client, std::string who, std::unique_ptr<platform::SerialDevice> device,
           const std::atomic<bool>& stop, const server::KeepAlive& keepalive)
        : client_(client), who_(std::move(who)), device_(std::move(device)) {
        thread_ = std::thread([this, &stop, keepalive] {
            ended_ = server::ServeClient(client_, *device_, stop, kSignature, keepalive);
            done_ = true;
        });
    }
    // Waits for the session, which ends within a poll interval once `stop` is set; then
    // releases the device and the connection. Returns how the client went.
    std::string Finish() {
        thread_.join();
        device_->Close();
        ::close(client_);
        return ended_;
    }
    bool Done() const { return done_; }
    const std::string& who() const { return who_; }

  private:
    int client_;
    std::string who_;
    std::unique_ptr<platform::SerialDevice> device_;
    std::string ended_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

void Finish(std::unique_ptr<Served>& served, const PortServerOptions& options, std::FILE* log) {
    const std::string ended = served->Finish();
    Log(log, "client " + served->who() + " " + ended + "; " + options.device + " closed");
    served.reset();
}

// The terminal layer keeps a device's settings from one open to the next, so the line is set to
// the start settings before each client.
bool SetStartSettings(platform::SerialDevice& device) {
    platform::LineSettings settings;
    if (!device.GetSettings(settings)) {
        return false;
    }
    settings.BaudRate = kClientStartBaudRate;
    settings.ByteSize = 8;
    settings.Parity = 0;
    settings.StopBits = 0;
    return device.SetSettings(settings);
}

// Tells a client why it is not served and disconnects it.
void TurnAway(int client, const std::string& who, const std::string& why, std::FILE* log) {
    server::SendText(client, "vantor-port-server: " + why + "\r\n");
    ::shutdown(client, SHUT_WR);
    ::close(client);
    Log(log, "client " + who + " turned away: " + why);
}

}  // namespace

Result<AllowedNetwork> ParseAllowedNetwork(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    AllowedNetwork network;
    in_addr v4{};
    in6_addr v6{};
    int max_bits = 128;
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        network.address = Mapped(v4);
        max_bits = 32;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        std::memcpy(network.address.data(), &v6, 16);
    } else {
        return Failure{"\"" + text + "\" is not ADDRESS/PREFIX (an IPv4 or IPv6 address)"};
    }
    int bits = max_bits;
    if (slash != std::string::npos) {
        constexpr std::size_t kMostDigits = 3;
        const std::string prefix = text.substr(slash + 1);
        const auto prefix_bits =
            prefix.size() <= kMostDigits ? platform::ParseWhole(prefix, 0, max_bits) : std::nullopt;
        if (!prefix_bits) {
            return Failure{"the prefix of \"" + text + "\" is not a number from 0 to " +
                           std::to_string(max_bits)};
        }
        bits = static_cast<int>(*prefix_bits);
    }
    network.prefix_bits = bits + (max_bits == 32 ? kMappedPrefixBits : 0);
    return network;
}

bool IsAllowed(const sockaddr* peer, const std::vector<AllowedNetwork>& allowed) {
    if (allowed.empty()) {
        return true;
    }
    std::array<std::uint8_t, 16> address{};
    if (peer->sa_family == AF_INET) {
        address = Mapped(reinterpret_cast<const sockaddr_in*>(peer)->sin_addr);
    } else if (peer->sa_family == AF_INET6) {
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, 16);
    } else {
        return false;
    }
    return std::any_of(allowed.begin(), allowed.end(), [&](const AllowedNetwork& network) {
        for (int bit = 0; bit < network.prefix_bits; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            if ((address[bit / 8] & mask) != (network.address[bit / 8] & mask)) {
                return false;
            }
        }
        return true;
    });
}

void ServePort(int listen_fd, const PortServerOptions& options, const std::atomic<bool>& stop,
               std::FILE* log) {
    std::unique_ptr<Served> served;
    while (!stop.load()) {
        if (served && served->Done()) {
            Finish(served, options, log);
        }
        sockaddr_storage peer{};
        std::string who;
        const int client = server::AcceptClient(listen_fd, kAcceptPollMs, peer, who);
        if (client < 0) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr*>(&peer);
        if (!IsAllowed(address, options.allowed)) {
            TurnAway(client, who, "this address may not use the port (--allow)", log);
            continue;
        }
        for (int waited_ms = 0; served && !served->Done() && waited_ms < kHandOverMs; ++waited_ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (served && !served->Done()) {
            TurnAway(client, who,
                     "the port " + options.device + " is in use by another client (" +
                         served->who() + "); try again later",
                     log);
            continue;
        }
        if (served) {
            Finish(served, options, log);
        }
        auto opened = platform::OpenPosixSerialDevice(options.device);
        if (!opened || !SetStartSettings(**opened)) {
            TurnAway(
                client, who,
                opened ? "cannot set up " + options.device + " for the client" : opened.reason(),
                log);
            continue;
        }
        auto device = std::move(*opened);
        Log(log, "client " + who + " connected; " + options.device + " opened");
        served = std::make_unique<Served>(client, who, std::move(device), stop, options.keepalive);
    }
    if (served) {
        Finish(served, options, log);
    }
}

}  // namespace vantor::portserver
