#include "platform/serial/rfc2217_connect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/program_options.h"
#include "platform/serial/net_socket.h"
#include "platform/serial/rfc2217_device.h"

namespace vantor::platform {

namespace {

bool IsPortNumber(const std::string& text) {
    constexpr std::size_t kMostDigits = 5;
    return text.size() <= kMostDigits && ParseWhole(text, 1, 65535).has_value();
}

}  // namespace

std::optional<HostPort> ParseRfc2217Address(const std::string& address) {
    const std::string rest = address.substr(sizeof(kRfc2217Scheme) - 1);
    HostPort parsed;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        parsed = {rest.substr(1, close - 1), rest.substr(close + 2)};
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        parsed = {rest.substr(0, colon), rest.substr(colon + 1)};
        if (parsed.host.find(':') != std::string::npos) {
            return std::nullopt;
        }
    }
    if (parsed.host.empty() || !IsPortNumber(parsed.port)) {
        return std::nullopt;
    }
    return parsed;
}

namespace {

// One host name lookup on a thread of its own, so that the open can stop waiting for it: the
// system's resolver has time-outs of its own, far longer than the open's budget.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool found = false;
    std::string failure;
    std::vector<net::SocketAddress> addresses;
};

// The addresses of the host, found within the deadline, or why none were.
Result<std::vector<net::SocketAddress>> Resolve(const HostPort& target, std::int64_t deadline_ns) {
    net::LookedUp numeric = net::LookUp(target.host, target.port, true);
    if (numeric.error.empty()) {
        return std::move(numeric.addresses);
    }
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, target] {
        net::LookedUp looked_up = net::LookUp(target.host, target.port, false);
        std::lock_guard lock(lookup->mutex);
        lookup->found = looked_up.error.empty();
        lookup->failure = std::move(looked_up.error);
        lookup->addresses = std::move(looked_up.addresses);
        lookup->done = true;
        lookup->done_changed.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    const auto left = std::chrono::nanoseconds(std::max<std::int64_t>(deadline_ns - NowNs(), 0));
    if (!lookup->done_changed.wait_for(lock, left, [&] { return lookup->done; })) {
        return Failure{"the host name \"" + target.host + "\" was not found within " +
                       std::to_string(kRfc2217OpenBudgetMs) + " ms"};
    }
    if (!lookup->found) {
        return Failure{"the host name \"" + target.host + "\" was not found: " + lookup->failure};
    }
    return std::move(lookup->addresses);
}

}  // namespace

Result<int> ConnectRfc2217(const HostPort& target, std::int64_t deadline_ns) {
    const auto addresses = Resolve(target, deadline_ns);
    if (!addresses) {
        return Failure{addresses.reason()};
    }
    // The reason of the last address tried, when none took the connection.
    std::string why;
    for (const net::SocketAddress& address : *addresses) {
        net::Connected connected = net::Connect(address, deadline_ns, kRfc2217OpenBudgetMs);
        if (connected.socket >= 0) {
            return connected.socket;
        }
        why = std::move(connected.error);
        if (NowNs() >= deadline_ns) {
            break;
        }
    }
    return Failure{why};
}

Result<void> CheckRfc2217Address(const std::string& address) {
    if (address.rfind(kRfc2217Scheme, 0) != 0 || ParseRfc2217Address(address)) {
        return {};
    }
    return Failure{"the address \"" + address +
                   "\" is not rfc2217://HOST:PORT (PORT a number from 1 to 65535)"};
}

}  // namespace vantor::platform
