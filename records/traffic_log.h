// The traffic log for support: every byte and every break on the line in both directions,
// with a millisecond timestamp, the direction, the bytes in hex and as printable text. The
// port's calls only append small records to memory; a background thread formats them and
// hands them to the file at least every 40 ms, so logging never slows the line and a program
// killed outright leaves a log of everything up to its last tenth of a second.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/result.h"

namespace vantor::records {

struct LineRecord {
    enum class Kind : std::uint8_t {
        TxByte,      // the host wrote a byte to the line
        RxByte,      // a byte from the drive reached the device (read or not)
        TxBreakOn,   // the host put its transmit line into break
        TxBreakOff,  // and released it
        RxBreak,     // the port reported the drive's line in break
        RxBreakEnd,  // and no longer reports it
        TxPurge,     // the host dropped bytes not yet sent
        RxPurge,     // the host dropped received bytes not yet read
        Opened,
        Closed,
    };
    std::int64_t at_ns;
    Kind kind;
    std::uint8_t byte;
};

class TrafficLog {
  public:
    // Creates (or empties) the log file, a regular file, or takes standard output for "-";
    // never waits (a FIFO is refused at once); or says why it cannot.
    static Result<std::unique_ptr<TrafficLog>> Create(const std::string& path);
    // Closes the log if that has not been done.
    ~TrafficLog();
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    void Record(LineRecord::Kind kind, const std::uint8_t* bytes, std::size_t count);
    void Record(LineRecord::Kind kind) { Record(kind, nullptr, 0); }
    // Writes what is left, ends the writer and closes the file; false when a write failed
    // and the log is incomplete. Records after the close are dropped.
    bool Close();

  private:
    TrafficLog(std::FILE* file, std::int64_t origin_ns);
    void WriterLoop();
    void WriteBatch(const std::vector<LineRecord>& batch);
    void WriteGroup();
    void WriteText(const std::string& text);
    void WriteOut();

    std::FILE* file_;
    std::int64_t origin_ns_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<LineRecord> pending_;
    std::size_t dropped_ = 0;  // records refused since the writer last looked
    bool stop_ = false;
    bool closed_ = false;
    std::atomic<bool> write_failed_{false};
    // The writer's own state: a run of bytes in one direction, written as one line.
    std::vector<LineRecord> group_;
    std::string chunk_;
    std::thread writer_;
};

// Puts a tap around every serial device the process opens from now on: it counts the bytes
// the host sends (for the progress line's rate) and hands every byte and break to `log` when
// one is given. The log must outlive every device opened while it is installed.
void InstallLineTap(TrafficLog* log);
const std::atomic<std::uint64_t>& BytesSent();

}  // namespace vantor::records
