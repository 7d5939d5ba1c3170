// Peers for the RFC 2217 backend's tests, over loopback TCP: a loopback plug served by the real
// server code, and a scripted telnet peer for the negotiation's corner cases.
#pragma once

#include <sys/types.h>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/serial/serial_device.h"

namespace vantor::test {

// A loopback plug on a serial port: every byte sent comes back, and a break sent is received as
// a break.
class LoopbackPlug final : public platform::SerialDevice {
  public:
    bool GetSettings(platform::LineSettings& settings) override;
    bool SetSettings(const platform::LineSettings& settings) override;
    bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) override;
    bool Write(const std::uint8_t* bytes, std::size_t count, std::size_t& written) override;
    bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) override;
    bool Purge(std::uint32_t flags) override;
    bool SetBreak() override;
    bool ClearBreak() override;
    bool Close() override { return true; }

    platform::LineSettings Settings();
    int BreaksSent();
    int Purges();

  private:
    std::mutex mutex_;
    platform::LineSettings settings_;
    std::deque<std::uint8_t> looped_;
    bool break_seen_ = false;
    int breaks_sent_ = 0;
    int purges_ = 0;
};

// Listens on a free loopback port; its address as a device address.
class Listener {
  public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return fd_; }
    int port() const { return port_; }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // Waits for one client; -1 when none came within two seconds.
    int Accept();

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Serves one client with the simulator's server code in front of a loopback plug.
class LoopbackServer {
  public:
    LoopbackServer();
    ~LoopbackServer();
    std::string Address() const { return listener_.Address(); }
    LoopbackPlug plug;
    // Ends the session and closes the connection.
    void Stop();

  private:
    Listener listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A telnet peer that sends `script` once a client has connected, then records what it receives
// until stopped.
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<std::uint8_t> script);
    ~ScriptedPeer();
    std::string Address() const { return listener_.Address(); }
    std::vector<std::uint8_t> Received();

  private:
    Listener listener_;
    std::vector<std::uint8_t> script_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::uint8_t> received_;
    std::thread thread_;
};

// A TCP relay between one client and a server at 127.0.0.1:`server_port`, holding every byte
// `delay_ms` in each direction, as a network between a host and its serial device server does.
// Once `drop_after` bytes have gone to the server, it ends both connections, as a server does
// that gives the port to another client.
class DelayRelay {
  public:
    DelayRelay(int server_port, int delay_ms, std::size_t drop_after = SIZE_MAX);
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;
    std::string Address() const { return listener_.Address(); }
    // True once it ended the connections.
    bool Dropped() const { return dropped_; }
    // Everything that went to the server, and to the client, so far.
    std::vector<std::uint8_t> ToServer();
    std::vector<std::uint8_t> ToClient();

  private:
    void Run(int server_port);

    Listener listener_;
    int delay_ms_;
    std::size_t drop_after_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> dropped_{false};
    std::mutex mutex_;
    std::vector<std::uint8_t> to_server_;
    std::vector<std::uint8_t> to_client_;
    std::thread thread_;
};

// vantor-drive-sim started with the given options on a free port, as its own process; stopped
// when the object goes.
class DriveSimProcess {
  public:
    explicit DriveSimProcess(const std::string& options);
    ~DriveSimProcess();
    DriveSimProcess(const DriveSimProcess&) = delete;
    DriveSimProcess& operator=(const DriveSimProcess&) = delete;

    // The device address it printed, "" when it did not start.
    const std::string& address() const { return address_; }
    // Its peak resident memory so far (VmHWM), in KiB; -1 when it cannot be read.
    long PeakMemoryKiB() const;
    // The next line it printed ("" at its end), waiting at most `timeout_ms`.
    std::string NextLine(int timeout_ms);

  private:
    std::unique_ptr<platform::ChildProcess> child_;
    std::string pending_;
    std::string address_;
};

// A raw TCP client of 127.0.0.1:`port`, connected within `limit_ms`; a small `receive_buffer`
// makes one that hardly reads. -1 when it could not connect in time.
int ConnectLoopback(int port, int receive_buffer = 0, int limit_ms = 2000);

// As a raw client on `fd`: takes up serial port control and sends SET-BAUDRATE `speed` (0 asks
// without changing it). Returns the speed the server answered, 0 when no answer came within
// `limit_ms`.
std::uint32_t ExchangeLineSpeed(int fd, std::uint32_t speed, int limit_ms);

// What a raw client on `fd` receives until `done` holds for all of it, the peer closes, or
// `limit_ms` passed.
std::vector<std::uint8_t> ReceiveUntil(
    int fd, const std::function<bool(const std::vector<std::uint8_t>&)>& done, int limit_ms);

// The next line read from `fd` ("" at its end or after `timeout_ms`), with `pending` holding what
// was read past the line.
std::string NextLineFrom(int fd, std::string& pending, int timeout_ms);

// What a program run to its end wrote to stdout and stderr together, and its exit status (-1
// when a signal ended it or it could not be started).
struct ProgramRun {
    int exit_status = -1;
    std::string output;
};

// Runs `argv` with stdin inherited; one that hangs is killed after two minutes.
ProgramRun RunProgram(const std::vector<std::string>& argv);

// The peak resident memory (VmHWM) of the process `pid` (0: this process) in KiB; -1 when it
// cannot be read.
long PeakMemoryKiB(pid_t pid = 0);

}  // namespace vantor::test
