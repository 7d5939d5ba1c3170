#include <algorithm>
#include <random>
#include <thread>

#include "records/history_database.h"

namespace vantor::records {

bool PauseBeforeRetry(int tries, std::chrono::steady_clock::time_point deadline) {
    // The other writers are other processes on the real clock, whatever clock this run keeps.
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
        return false;
    }
    thread_local std::minstd_rand random(static_cast<unsigned>(
        std::random_device{}() ^ static_cast<unsigned>(now.time_since_epoch().count())));
    const int most_ms = std::min(8 << std::min(tries / 8, 3), 50);
    const auto pause =
        std::chrono::milliseconds(1 + static_cast<int>(random() % static_cast<unsigned>(most_ms)));
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    return true;
}

}  // namespace vantor::records
