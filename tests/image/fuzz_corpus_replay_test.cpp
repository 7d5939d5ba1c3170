// Replays every committed fuzz corpus file through the fuzz targets' own entry functions, so
// that the corpus is checked on every build, without clang and libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

struct CorpusFile {
    const fuzz::FuzzTarget* target;
    fs::path path;
};

std::vector<CorpusFile> CorpusFiles() {
    std::vector<CorpusFile> files;
    for (const fuzz::FuzzTarget& target : fuzz::kFuzzTargets) {
        const fs::path folder = fs::path(VANTOR_FUZZ_CORPUS_DIR) / target.name;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.is_regular_file()) {
                files.push_back({&target, entry.path()});
            }
        }
    }
    std::sort(files.begin(), files.end(),
              [](const CorpusFile& a, const CorpusFile& b) { return a.path < b.path; });
    return files;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class FuzzCorpus : public testing::TestWithParam<CorpusFile> {};

TEST_P(FuzzCorpus, KeepsEveryPromiseOfTheReader) {
    const CorpusFile& file = GetParam();
    const std::vector<std::uint8_t> bytes = ReadBytes(file.path);
    EXPECT_EQ(file.target->check(bytes.data(), bytes.size()), "") << file.path;
}

// Guards against a replay that passes because it found nothing to replay.
TEST(FuzzCorpusReplay, FindsTheCorpusOfEachTarget) {
    const std::vector<CorpusFile> files = CorpusFiles();
    for (const fuzz::FuzzTarget& target : fuzz::kFuzzTargets) {
        EXPECT_GE(std::count_if(files.begin(), files.end(),
                                [&](const CorpusFile& file) { return file.target == &target; }),
                  5)
            << target.name;
    }
}

std::string TestName(const testing::TestParamInfo<CorpusFile>& case_info) {
    std::string name =
        std::string(case_info.param.target->name) + "_" + case_info.param.path.filename().string();
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Committed, FuzzCorpus, testing::ValuesIn(CorpusFiles()), TestName);

}  // namespace
}  // namespace vantor
