// The half that the termios and the RFC 2217 backends share, as Qt Serial Port keeps its
// private class common and leaves only the system calls to each platform's file: the receive
// queue that the backend fills from its own system calls, the line error word, the calls that
// only read those two (Read, ClearError, SetQueueSizes), the descriptor with its "gone" state,
// and the retry of calls that a signal interrupts. Each backend adds what is its own: how bytes
// arrive (ReceiveSome) and what they mean (Decode), how they leave, the settings, the purge,
// the breaks and the close.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/serial/serial_device.h"

namespace vantor::platform {

// A signal storm must not hold a call forever: after this many EINTRs in one device call the
// call gives up.
inline constexpr int kInterruptRetries = 16;

// Counts the interruptions of one device call, however many system calls it makes.
class InterruptRetries {
  public:
    // True when a system call that returned `result` failed with EINTR and is to be made
    // again; false for every other outcome and once the call's retries are used up.
    bool Again(ssize_t result) {
        return result < 0 && errno == EINTR && ++interrupts_ < kInterruptRetries;
    }

  private:
    int interrupts_ = 0;
};

// `text` in double quotes, as the open errors name a path.
std::string Quoted(const std::string& text);

class BufferedSerialDevice : public SerialDevice {
  public:
    // The receive queue holds at least this much whatever the queue size asked for; the
    // system's own buffer holds the rest until it is read.
    static constexpr std::size_t kMinRxQueueBytes = 4096;
    // What one system call may take.
    static constexpr std::size_t kReceiveChunkBytes = 4096;
    // A line that delivers nothing but breaks or commands never fills the queue; this bounds
    // the system calls of one pump.
    static constexpr int kReceivesPerPump = 64;

    explicit BufferedSerialDevice(int fd) : fd_(fd) {}

    // The kernel or the server sizes its own buffers; the receive size bounds how much is
    // taken from them. True while the device is usable.
    bool SetQueueSizes(std::uint32_t rx_bytes, std::uint32_t tx_bytes) final;
    // Pumps, then hands over at most `max` queued bytes. False once the device is closed or gone.
    bool Read(std::uint8_t* buffer, std::size_t max, std::size_t& got) final;
    // Pumps, then reports and clears the error word and reports the bytes queued. False once
    // the device is closed or gone (and both are 0).
    bool ClearError(std::uint32_t& errors, std::uint32_t& bytes_waiting) final;

  protected:
    // Open and not gone: every call but Close fails at once otherwise.
    bool Usable() const { return fd_ >= 0 && !gone_; }
    // The far end went away while the device was open.
    bool Gone() const { return gone_; }
    int fd() const { return fd_; }
    // Takes the descriptor for closing; the device counts as closed from then on.
    int ReleaseFd();
    // Remembers a far end that is gone (an adapter pulled out, a connection ended), so that
    // every later call fails at once.
    void MarkGone() { gone_ = true; }
    // Marks the device gone when a system call's `error` says the far end is gone; 0 is no
    // error.
    void NoteFailure(int error);

    // Brings the queue up to date: ReceiveIntoQueue, and whatever else the backend does on
    // every call (the termios backend reads the driver's counters, the RFC 2217 one answers
    // the server's negotiations).
    virtual void Pump() { ReceiveIntoQueue(); }
    // Reads what has arrived, chunk by chunk, through ReceiveSome and Decode, until a call
    // gives less than it asked for (nothing more is there), the queue is full, the far end is
    // gone or kReceivesPerPump calls were made.
    void ReceiveIntoQueue();
    // One non-blocking system call for at most `room` received bytes: the count (0 for
    // nothing there), or -1 with errno.
    virtual ssize_t ReceiveSome(std::uint8_t* into, std::size_t room) = 0;
    // Puts the data bytes of what ReceiveSome got into the queue (QueueByte) and notes what
    // else it carried (breaks, line states) in the error word.
    virtual void Decode(const std::uint8_t* bytes, std::size_t count) = 0;
    // Whether a failed system call's `error` means the far end is gone for good.
    virtual bool IsGoneError(int error) const = 0;

    void QueueByte(std::uint8_t byte) { rx_.push_back(byte); }
    std::deque<std::uint8_t>& ReceiveQueue() { return rx_; }
    void DropReceived() { rx_.clear(); }
    // Adds `bits` to the error word that the next ClearError reports.
    void RaiseErrors(std::uint32_t bits) { errors_ |= bits; }

  private:
    int fd_;
    bool gone_ = false;
    std::deque<std::uint8_t> rx_;
    std::size_t rx_queue_bytes_ = kMinRxQueueBytes;
    std::uint32_t errors_ = 0;
};

}  // namespace vantor::platform
