// vantor-io-bench: what reading an image costs. It runs the check that a download makes before
// its first packet goes out (the file opened, its header and every packet read and checked, its
// SHA-256 taken) and prints what it found and the process's peak memory, so that hyperfine can
// time it beside sha256sum on the same file (docs/cli.md, "Benchmarks").
//
//     vantor-io-bench IMAGE
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>

#include "image/image_reader.h"
#include "platform/window_link.h"

namespace {

using vantor::platform::Display;
using vantor::platform::MessageIcon;

// Keeps the status line's last text for the verdict; draws nothing.
class LastStatus final : public vantor::platform::WindowLink {
  public:
    void SetText(Display display, const std::string& text) override {
        if (display == Display::StatusLine) {
            status = text;
        }
    }
    std::string GetText(Display /*display*/) override { return ""; }
    void SetProgressRange(int /*low*/, int /*high*/) override {}
    void SetProgressPos(int /*pos*/) override {}
    void MessageBox(const std::string& text, const std::string& /*caption*/,
                    MessageIcon /*icon*/) override {
        status = text;
    }
    void Post(int /*notify_fd*/, int /*message*/) override {}
    void PostQuit() override {}

    std::string status;
};

long PeakMemoryKiB() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vantor-io-bench IMAGE\n");
        return 64;
    }
    LastStatus window;
    vantor::platform::ScopedWindowLink scoped(window);
    vantor::ImageFile file;
    if (!file.Open(argv[1])) {
        std::fprintf(stderr, "vantor-io-bench: %s: %s\n", argv[1], file.open_problem().c_str());
        return 1;
    }
    vantor::ImageHeader header;
    auto packet = std::make_unique<vantor::Packet>();
    int packets = 0;
    const bool accepted =
        vantor::CheckHeader(file, vantor::kRevisionNotYetKnown, "", header) ==
            vantor::HeaderResult::kAccepted &&
        vantor::CheckWholeImage(file, header, *packet, packets) == vantor::PacketResult::kReady;
    const auto digest = file.Digest();
    std::printf("source: %s\n",
                file.source() == vantor::ImageFile::Source::kMemory ? "memory" : "disk");
    std::printf("packets: %d\n", packets);
    std::printf("verdict: %s\n", accepted ? "would download whole" : window.status.c_str());
    std::printf("size: %lld bytes\n", digest ? digest->size_bytes : -1LL);
    std::printf("sha256: %s\n", digest ? digest->sha256.c_str() : "(not read to its end)");
    std::printf("peak memory: %ld KiB\n", PeakMemoryKiB());
    return accepted && digest ? 0 : 1;
}
