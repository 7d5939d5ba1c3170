// The world's public face: every call locks the state and, where it reads the line, first
// brings the world up to the process clock's now.
#include "sim/sim_world.h"

#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "sim/world_state.h"

namespace vantor::sim {

SimWorld::SimWorld(SimOptions options) : state_(std::make_unique<State>(std::move(options))) {}

SimWorld::~SimWorld() = default;

const SimOptions& SimWorld::options() const {
    return state_->options;
}

void SimWorld::AdvanceTo(std::int64_t now_ns) {
    std::lock_guard lock(state_->mutex);
    state_->Advance(now_ns);
}

void SimWorld::Attach(std::shared_ptr<LineTranscript> transcript) {
    std::lock_guard lock(state_->mutex);
    state_->transcript = std::move(transcript);
}

std::vector<LineEvent> SimWorld::Traffic() {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    return state_->events.Copy();
}

std::vector<std::uint8_t> SimWorld::HostBytes() {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    return state_->host_bytes.Copy();
}

std::vector<std::uint8_t> SimWorld::DriveBytes() {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    return state_->drive_bytes.Copy();
}

std::vector<std::vector<std::uint8_t>> SimWorld::AcceptedPackets() {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    return state_->accepted.Copy();
}

int SimWorld::ResetCount() {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    return state_->reset_count;
}

DriveMode SimWorld::Mode(int address) {
    std::lock_guard lock(state_->mutex);
    state_->Advance(platform::NowNs());
    for (const auto& drive : state_->drives) {
        if (address < 0 || drive->address() == address) {
            return drive->mode();
        }
    }
    return DriveMode::CommandMode;
}

}  // namespace vantor::sim
