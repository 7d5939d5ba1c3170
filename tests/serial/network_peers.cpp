#include "network_peers.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "drivesim/drive_sim_server.h"

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
              drivesim::ServeClient(client, plug, stop_);
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

}  // namespace vantor::test
