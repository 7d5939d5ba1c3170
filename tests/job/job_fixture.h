// A simulated drive on a virtual clock with an image or two to download.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "support/test_support.h"

namespace vantor::test {

using Bytes = image_writer::Bytes;

// The packets of an image as the drive should receive them, each from BOP word to checksum.
std::vector<Bytes> PacketsOf(const Bytes& image, std::size_t data_offset);

// Drops a packet that the drive accepted again right after itself (a resend after a lost
// acknowledgement), so the rest can be compared with the image.
std::vector<Bytes> WithoutRepeats(const std::vector<Bytes>& packets);

// Temporary files that are removed when the fixture ends.
class TempFiles {
  public:
    ~TempFiles();
    std::string Add(const std::string& path);
    std::string Image(const image_writer::ImageBuilder& builder);
    std::string Text(const std::string& text);

  private:
    std::vector<std::string> paths_;
};

class JobTest : public ::testing::Test {
  protected:
    void Start(const std::string& sim_options);
    JobOutcome Run();  // sets JobRunning and runs the job on this thread

    std::vector<std::string> Statuses() { return bench->window.StatusTexts(); }
    std::string Status() { return bench->window.Text(platform::Display::StatusLine); }
    int Count(const std::string& text);  // how often the status line showed `text`

    std::unique_ptr<SimBench> bench;
    JobHost host;
    TempFiles files;
};

}  // namespace vantor::test
