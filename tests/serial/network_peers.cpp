#include "network_peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "platform/serial/rfc2217_server.h"
#include "platform/serial/rfc2217_telnet.h"

namespace vantor::test {

bool LoopbackPlug::GetSettings(platform::LineSettings& settings) {
    std::lock_guard lock(mutex_);
    settings = settings_;
    return true;
}

bool LoopbackPlug::SetSettings(const platform::LineSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
    return true;
}

bool LoopbackPlug::Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) {
    std::lock_guard lock(mutex_);
    got = std::min(max, looped_.size());
    std::copy_n(looped_.begin(), got, buffer);
    looped_.erase(looped_.begin(), looped_.begin() + static_cast<std::ptrdiff_t>(got));
    return true;
}

bool LoopbackPlug::Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) {
    std::lock_guard lock(mutex_);
    looped_.insert(looped_.end(), bytes, bytes + count);
    written = count;
    return true;
}

bool LoopbackPlug::ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) {
    std::lock_guard lock(mutex_);
    errors = break_seen_ ? platform::kLineBreakFlag : 0;
    break_seen_ = false;
    bytes_waiting = static_cast<std::uint32_t>(looped_.size());
    return true;
}

bool LoopbackPlug::Purge(std::uint32_t flags) {
    std::lock_guard lock(mutex_);
    if ((flags & platform::kPurgeRxClear) != 0) {
        looped_.clear();
    }
    ++purges_;
    return true;
}

bool LoopbackPlug::SetBreak() {
    std::lock_guard lock(mutex_);
    break_seen_ = true;
    ++breaks_sent_;
    return true;
}

bool LoopbackPlug::ClearBreak() {
    return true;
}

platform::LineSettings LoopbackPlug::Settings() {
    std::lock_guard lock(mutex_);
    return settings_;
}

int LoopbackPlug::BreaksSent() {
    std::lock_guard lock(mutex_);
    return breaks_sent_;
}

int LoopbackPlug::Purges() {
    std::lock_guard lock(mutex_);
    return purges_;
}

Listener::Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::listen(fd_, 1) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
}

Listener::~Listener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int Listener::Accept() {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 2000) <= 0) {
        return -1;
    }
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

LoopbackServer::LoopbackServer()
    : thread_([this] {
          const int client = listener_.Accept();
          if (client >= 0) {
              platform::rfc2217_server::ServeClient(client, plug, stop_, "vantor-drive-sim");
              ::close(client);
          }
      }) {}

LoopbackServer::~LoopbackServer() {
    Stop();
}

void LoopbackServer::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

ScriptedPeer::ScriptedPeer(std::vector<std::uint8_t> script)
    : script_(std::move(script)), thread_([this] {
          const int client = listener_.Accept();
          if (client < 0) {
              return;
          }
          ::send(client, script_.data(), script_.size(), MSG_NOSIGNAL);
          while (!stop_) {
              pollfd entry{client, POLLIN, 0};
              if (::poll(&entry, 1, 5) <= 0) {
                  continue;
              }
              std::uint8_t chunk[512];
              const ssize_t got = ::recv(client, chunk, sizeof(chunk), 0);
              if (got <= 0) {
                  break;
              }
              std::lock_guard lock(mutex_);
              received_.insert(received_.end(), chunk, chunk + got);
          }
          ::close(client);
      }) {}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    thread_.join();
}

std::vector<std::uint8_t> ScriptedPeer::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

DelayRelay::DelayRelay(int server_port, int delay_ms, std::size_t drop_after)
    : delay_ms_(delay_ms),
      drop_after_(drop_after),
      thread_([this, server_port] { Run(server_port); }) {}

DelayRelay::~DelayRelay() {
    stop_ = true;
    thread_.join();
}

namespace {

struct Held {
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> bytes;
};

// Sends what is due; false when the peer is gone.
bool SendDue(int fd, std::deque<Held>& held) {
    const auto now = std::chrono::steady_clock::now();
    while (!held.empty() && held.front().due <= now) {
        const auto& bytes = held.front().bytes;
        if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            return false;
        }
        held.pop_front();
    }
    return true;
}

}  // namespace

void DelayRelay::Run(int server_port) {
    const int client = listener_.Accept();
    if (client < 0) {
        return;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    std::deque<Held> to_server;
    std::deque<Held> to_client;
    std::size_t sent_to_server = 0;
    const auto delay = std::chrono::milliseconds(delay_ms_);
    bool open = true;
    while (!stop_ && open) {
        pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        ::poll(entries, 2, 1);
        for (int side = 0; side < 2 && open; ++side) {
            if ((entries[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            std::uint8_t chunk[4096];
            const ssize_t got = ::recv(entries[side].fd, chunk, sizeof(chunk), MSG_DONTWAIT);
            if (got <= 0) {
                open = false;
                break;
            }
            auto& queue = side == 0 ? to_server : to_client;
            queue.push_back({std::chrono::steady_clock::now() + delay, {chunk, chunk + got}});
            {
                std::lock_guard lock(mutex_);
                auto& record = side == 0 ? to_server_ : to_client_;
                record.insert(record.end(), chunk, chunk + got);
            }
            if (side == 0) {
                sent_to_server += static_cast<std::size_t>(got);
            }
        }
        open = open && SendDue(server, to_server) && SendDue(client, to_client);
        if (sent_to_server >= drop_after_) {
            dropped_ = true;
            open = false;
        }
    }
    ::close(server);
    ::close(client);
}

std::vector<std::uint8_t> DelayRelay::ToServer() {
    std::lock_guard lock(mutex_);
    return to_server_;
}

std::vector<std::uint8_t> DelayRelay::ToClient() {
    std::lock_guard lock(mutex_);
    return to_client_;
}

DriveSimProcess::DriveSimProcess(const std::string& options) {
    platform::ChildOptions spawn;
    spawn.argv = {VANTOR_DRIVE_SIM_PATH, "--port", "0"};
    if (!options.empty()) {
        spawn.argv.push_back(options);
    }
    spawn.in = platform::ChildStream::Inherit();
    spawn.out = platform::ChildStream::Pipe();
    child_ = platform::ChildProcess::Start(spawn).ValueOr(nullptr);
    const std::string line = NextLine(10000);
    const std::size_t start = line.find("rfc2217://");
    const std::size_t end = line.find(')', start);
    if (start != std::string::npos && end != std::string::npos) {
        address_ = line.substr(start, end - start);
    }
}

DriveSimProcess::~DriveSimProcess() {
    if (child_) {
        child_->Stop(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }
}

std::string DriveSimProcess::NextLine(int timeout_ms) {
    using platform::OutputStream;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    platform::ProcessWaitSet set;
    if (child_) {
        set.Add(*child_);
    }
    while (
        child_ && pending_.find('\n') == std::string::npos &&
        !(child_->OutputEnded(OutputStream::kOut) && child_->Output(OutputStream::kOut).empty()) &&
        std::chrono::steady_clock::now() < deadline) {
        if (child_->Output(OutputStream::kOut).empty()) {
            set.Wait(deadline);
        }
        pending_ += child_->TakeOutput(OutputStream::kOut);
    }
    const std::size_t end = pending_.find('\n');
    if (end == std::string::npos) {
        return "";
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

int ConnectLoopback(int port, int receive_buffer, int limit_ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (receive_buffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    int error = 0;
    socklen_t length = sizeof(error);
    pollfd entry{fd, POLLOUT, 0};
    const bool connected =
        (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
         (errno == EINPROGRESS && ::poll(&entry, 1, limit_ms) > 0 &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0));
    if (!connected) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::uint32_t ExchangeLineSpeed(int fd, std::uint32_t speed, int limit_ms) {
    using namespace platform::telnet;
    std::vector<std::uint8_t> request = {kIac, kWill, kOptionComPort};
    AppendComPortCommand(kComSetBaudRate, BigEndian32(speed), request);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return 0;
    }
    // The answer's value never holds 0xFF for the speeds the tests use, so it is not escaped.
    const std::vector<std::uint8_t> answer = {kIac, kSb, kOptionComPort,
                                              kComSetBaudRate + kServerCommandOffset};
    const auto value_at = [&](const std::vector<std::uint8_t>& received) {
        const auto at = std::search(received.begin(), received.end(), answer.begin(), answer.end());
        return received.end() - at >= static_cast<std::ptrdiff_t>(answer.size() + 4)
                   ? at + static_cast<std::ptrdiff_t>(answer.size())
                   : received.end();
    };
    const std::vector<std::uint8_t> received = ReceiveUntil(
        fd,
        [&](const std::vector<std::uint8_t>& so_far) { return value_at(so_far) != so_far.end(); },
        limit_ms);
    const auto value = value_at(received);
    if (value == received.end()) {
        return 0;
    }
    return (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
           (std::uint32_t{value[2]} << 8) | value[3];
}

std::vector<std::uint8_t> ReceiveUntil(
    int fd, const std::function<bool(const std::vector<std::uint8_t>&)>& done, int limit_ms) {
    std::vector<std::uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done(received) && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        std::uint8_t chunk[256];
        if (::poll(&entry, 1, 10) > 0) {
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                break;
            }
            received.insert(received.end(), chunk, chunk + got);
        }
    }
    return received;
}

std::string NextLineFrom(int fd, std::string& pending, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending.find('\n') == std::string::npos && fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
            break;
        }
        char chunk[256];
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
    }
    const std::size_t end = pending.find('\n');
    if (end == std::string::npos) {
        return "";
    }
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return line;
}

ProgramRun RunProgram(const std::vector<std::string>& argv) {
    platform::ChildOptions options;
    options.argv = argv;
    options.in = platform::ChildStream::Inherit();
    options.out = platform::ChildStream::Pipe();
    options.err = platform::ChildStream::JoinOut();
    ProgramRun run;
    auto child = platform::ChildProcess::Start(options).ValueOr(nullptr);
    if (child) {
        const platform::ChildExit exit =
            child->Finish(std::chrono::steady_clock::now() + std::chrono::minutes(2));
        run.exit_status = exit.Exited() ? exit.status : -1;
        run.output = child->Output(platform::OutputStream::kOut);
    }
    return run;
}

long DriveSimProcess::PeakMemoryKiB() const {
    return child_ && !child_->exit() ? test::PeakMemoryKiB(static_cast<pid_t>(child_->id())) : -1;
}

long PeakMemoryKiB(pid_t pid) {
    const std::string path =
        pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace vantor::test
