#include "job_fixture.h"

#include <algorithm>
#include <fstream>

#include "link/serial_port.h"

namespace vantor::test {

std::vector<Bytes> PacketsOf(const Bytes& image, std::size_t data_offset) {
    std::vector<Bytes> packets;
    std::size_t at = data_offset;
    while (at + 4 <= image.size()) {
        const std::size_t length = (image[at + 2] << 8) | image[at + 3];
        const std::size_t end = std::min(image.size(), at + 4 + length + 2);
        packets.emplace_back(image.begin() + static_cast<std::ptrdiff_t>(at),
                             image.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    return packets;
}

std::vector<Bytes> WithoutRepeats(const std::vector<Bytes>& packets) {
    std::vector<Bytes> kept;
    for (const Bytes& packet : packets) {
        if (kept.empty() || kept.back() != packet) {
            kept.push_back(packet);
        }
    }
    return kept;
}

TempFiles::~TempFiles() {
    for (const std::string& path : paths_) {
        std::remove(path.c_str());
    }
}

std::string TempFiles::Add(const std::string& path) {
    paths_.push_back(path);
    return path;
}

std::string TempFiles::Image(const image_writer::ImageBuilder& builder) {
    return Add(builder.WriteTemp());
}

std::string TempFiles::Text(const std::string& text) {
    return Add(image_writer::WriteTempFile(Bytes(text.begin(), text.end()), "vantor-list"));
}

void JobTest::Start(const std::string& sim_options) {
    bench.reset();  // one bench at a time: the old one must let go of the ports first
    bench = std::make_unique<SimBench>(sim_options);
    host.Options.PortIndex = 0;
    host.Options.BaudChoice = 1;
}

JobOutcome JobTest::Run() {
    host.JobRunning = 1;
    const JobOutcome result = DownloadJob(host);
    EXPECT_EQ(host.JobRunning, 0) << "every way out clears JobRunning";
    EXPECT_EQ(CurrentPort(), nullptr) << "every way out closes the port";
    return result;
}

int JobTest::Count(const std::string& text) {
    const auto statuses = Statuses();
    return static_cast<int>(std::count(statuses.begin(), statuses.end(), text));
}

}  // namespace vantor::test
