// A pseudo-terminal pair for the termios backend's tests: the backend opens the terminal side by
// its path, the test plays the far end of the line on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vantor::test {

class PtyPair {
  public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            path_ = ::ptsname(master_);
        }
    }
    ~PtyPair() {
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return !path_.empty(); }
    int master() const { return master_; }
    const std::string& path() const { return path_; }

    // Sends bytes towards the backend, as the drive would.
    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Takes up to `count` bytes that the backend sent, waiting for the kernel to pass them on.
    std::vector<std::uint8_t> Receive(std::size_t count) {
        std::vector<std::uint8_t> bytes;
        while (bytes.size() < count) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, kKernelWaitMs) <= 0) {
                break;
            }
            std::uint8_t chunk[512];
            const ssize_t got =
                ::read(master_, chunk, std::min(sizeof(chunk), count - bytes.size()));
            if (got <= 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

  private:
    // Only a bound for a broken kernel: bytes pass through a pty in microseconds.
    static constexpr int kKernelWaitMs = 2000;
    int master_ = -1;
    std::string path_;
};

// Asks `condition` again until it holds, letting the kernel move bytes between the two sides of
// a pty; gives up after a bound that only a broken kernel reaches.
inline bool KernelEventually(const std::function<bool()>& condition) {
    return Eventually(condition, std::chrono::seconds(2));
}

}  // namespace vantor::test
