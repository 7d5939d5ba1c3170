// The header check: which drives accept which files, the codes, and the exact message boxes.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "image_test_support.h"
#include "support/test_support.h"

namespace vantor {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;
using image_writer::KdxHeader;
using test::TempImage;

constexpr int kStopIcon = static_cast<int>(platform::MessageIcon::Stop);

std::string PlainRevisionText(const std::string& label) {
    return "Error: The Orrim file \"" + label +
           "\" is meant for hardware revision ID 0.\n\nA different Orrim file is required.";
}

std::string KdxRevisionText(const std::string& label, int file_id) {
    return "Error: The Orrim file \"" + label + "\" is meant for hardware revision ID " +
           std::to_string(file_id) + ".\nA different Orrim file is required.";
}

// Runs the header check on an image and records what the operator saw.
struct HeaderRun {
    HeaderResult result = HeaderResult::kAccepted;
    ImageHeader header;
    std::vector<test::RecordingWindowLink::Call> boxes;
    std::vector<std::string> status;
};

HeaderRun CheckImageHeader(const Bytes& bytes, int drive_revision,
                           const std::string& label = "fw.orb") {
    test::RecordingWindowLink window;
    platform::ScopedWindowLink scoped(window);
    TempImage image(bytes);
    ImageFile file;
    EXPECT_TRUE(file.Open(image.path()));
    HeaderRun run;
    run.result = CheckHeader(file, drive_revision, label, run.header);
    run.boxes = window.Boxes();
    run.status = window.StatusTexts();
    return run;
}

// ---- The compatibility rule, every file ID against every drive ID ----

struct CompatibilityRow {
    int file_id;
    std::set<int> accepting_drives;
};

std::set<int> Range(int low, int high) {
    std::set<int> ids;
    for (int id = low; id <= high; ++id) {
        ids.insert(id);
    }
    return ids;
}

std::vector<CompatibilityRow> CompatibilityTable() {
    std::vector<CompatibilityRow> rows = {
        {0, {0}},
        {1, {0, 1}},
        {2, {2}},
        {3,
         [] {
             std::set<int> ids = Range(3, 15);
             ids.insert(0);
             return ids;
         }()},
        {-1, {}},
        {16, {}},
        {0x7FFF, {}},
        {-32768, {}},
    };
    for (int id = 4; id <= 15; ++id) {
        rows.push_back({id, {id}});
    }
    return rows;
}

class RevisionCompatibility : public testing::TestWithParam<CompatibilityRow> {};

TEST_P(RevisionCompatibility, AcceptsExactlyTheDrivesOfTheTable) {
    const CompatibilityRow& row = GetParam();
    for (int drive_id = 0; drive_id <= 15; ++drive_id) {
        EXPECT_EQ(RevisionCompatible(row.file_id, drive_id),
                  row.accepting_drives.count(drive_id) == 1)
            << "file " << row.file_id << ", drive " << drive_id;
    }
}

// The same table through a whole KDX header: the check reads the file's ID from the right
// word, as a signed number, and shows the file's ID when it refuses.
TEST_P(RevisionCompatibility, KdxHeaderCheckFollowsTheTable) {
    const CompatibilityRow& row = GetParam();
    const Bytes bytes = ImageBuilder::Kdx(row.file_id).FillerPackets(1, 16).Build();
    for (int drive_id = 0; drive_id <= 15; ++drive_id) {
        const HeaderRun run = CheckImageHeader(bytes, drive_id);
        if (row.accepting_drives.count(drive_id) == 1) {
            EXPECT_EQ(run.result, HeaderResult::kAccepted) << "drive " << drive_id;
            EXPECT_TRUE(run.boxes.empty());
        } else {
            EXPECT_EQ(run.result, HeaderResult::kRevisionMismatch) << "drive " << drive_id;
            ASSERT_EQ(run.boxes.size(), 1u);
            EXPECT_EQ(run.boxes[0].text, KdxRevisionText("fw.orb", row.file_id));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFileId, RevisionCompatibility,
                         testing::ValuesIn(CompatibilityTable()),
                         [](const testing::TestParamInfo<CompatibilityRow>& case_info) {
                             const int id = case_info.param.file_id;
                             return (id < 0 ? "minus" : "") + std::to_string(id < 0 ? -id : id);
                         });

// ---- Rejections: code, box text, caption and icon ----

struct RejectionCase {
    const char* name;
    KdxHeader header;
    int drive_revision;
    HeaderResult result;
    std::string text;
};

KdxHeader With(void (*change)(KdxHeader&)) {
    KdxHeader header;
    change(header);
    return header;
}

std::vector<RejectionCase> RejectionCases() {
    return {
        {"WrongMagic", With([](KdxHeader& h) { h.magic = 0x4F73; }), 2,
         HeaderResult::kNotOrrimMagic, test::kNotOrrimText},
        {"FormatVersion17", With([](KdxHeader& h) { h.format_version = 17; }), 2,
         HeaderResult::kFormatTooNew, test::kNotOrrimText},
        {"FormatVersion7FFF", With([](KdxHeader& h) { h.format_version = 0x7FFF; }), 2,
         HeaderResult::kFormatTooNew, test::kNotOrrimText},
        {"FamilyOne", With([](KdxHeader& h) { h.family = 1; }), 2, HeaderResult::kNotKdxFamily,
         test::kNotKdxText},
        {"FamilyFFFF", With([](KdxHeader& h) { h.family = 0xFFFF; }), 2,
         HeaderResult::kNotKdxFamily, test::kNotKdxText},
        // The words are checked in file order: the first bad one decides the code.
        {"MagicBeforeVersion", With([](KdxHeader& h) {
             h.magic = 0;
             h.format_version = 99;
             h.family = 5;
             h.revision = 9;
         }),
         2, HeaderResult::kNotOrrimMagic, test::kNotOrrimText},
        {"VersionBeforeFamily", With([](KdxHeader& h) {
             h.format_version = 17;
             h.family = 5;
             h.revision = 9;
         }),
         2, HeaderResult::kFormatTooNew, test::kNotOrrimText},
        {"FamilyBeforeRevision", With([](KdxHeader& h) {
             h.family = 5;
             h.revision = 9;
         }),
         2, HeaderResult::kNotKdxFamily, test::kNotKdxText},
        {"RevisionThreeOnDriveOne", With([](KdxHeader& h) { h.revision = 3; }), 1,
         HeaderResult::kRevisionMismatch, KdxRevisionText("fw.orb", 3)},
        {"RevisionThreeOnDriveTwo", With([](KdxHeader& h) { h.revision = 3; }), 2,
         HeaderResult::kRevisionMismatch, KdxRevisionText("fw.orb", 3)},
        {"RevisionZeroOnDriveOne", With([](KdxHeader& h) { h.revision = 0; }), 1,
         HeaderResult::kRevisionMismatch, KdxRevisionText("fw.orb", 0)},
        {"NegativeRevision", With([](KdxHeader& h) { h.revision = -1; }), 0,
         HeaderResult::kRevisionMismatch, KdxRevisionText("fw.orb", -1)},
    };
}

class HeaderRejection : public testing::TestWithParam<RejectionCase> {};

TEST_P(HeaderRejection, ShowsOneStopBoxWithTheExactText) {
    const RejectionCase& rejection = GetParam();
    const Bytes bytes = ImageBuilder::Kdx(2).Header(rejection.header).FillerPackets(2, 32).Build();
    const HeaderRun run = CheckImageHeader(bytes, rejection.drive_revision);
    EXPECT_EQ(run.result, rejection.result);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, rejection.text);
    EXPECT_EQ(run.boxes[0].caption, "Orrim file error");
    EXPECT_EQ(run.boxes[0].a, kStopIcon);
    EXPECT_TRUE(run.status.empty()) << "a header rejection goes to the box, not the status line";
}

INSTANTIATE_TEST_SUITE_P(Codes, HeaderRejection, testing::ValuesIn(RejectionCases()),
                         [](const testing::TestParamInfo<RejectionCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// ---- Accepted headers ----

class FormatVersionAccepted : public testing::TestWithParam<int> {};

// Versions from 0x8000 up read as negative and so pass the "not above 16" test.
TEST_P(FormatVersionAccepted, PassesTheCheck) {
    KdxHeader header;
    header.format_version = static_cast<std::int16_t>(GetParam());
    const HeaderRun run = CheckImageHeader(ImageBuilder::Kdx(2).Header(header).Build(), 2);
    EXPECT_EQ(run.result, HeaderResult::kAccepted);
    EXPECT_TRUE(run.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, FormatVersionAccepted,
                         testing::Values(0, 1, 16, 0x8000, 0xFFFF));

TEST(KdxHeader, GivesThePacketCountAndDataOffsetAndIgnoresTheReservedWord) {
    KdxHeader header;
    header.packet_count = 0xBEEF;
    header.reserved = 0x1234;
    header.data_offset = 40;
    const HeaderRun run = CheckImageHeader(ImageBuilder::Kdx(2).Header(header).Build(), 2);
    EXPECT_EQ(run.result, HeaderResult::kAccepted);
    EXPECT_EQ(run.header.PacketCount, 0xBEEF);
    EXPECT_EQ(run.header.DataOffset, 40);
}

TEST(KdxHeader, ReadsANegativeDataOffsetAsSigned) {
    KdxHeader header;
    header.data_offset = -2;
    const HeaderRun run = CheckImageHeader(ImageBuilder::Kdx(2).Header(header).Build(), 2);
    EXPECT_EQ(run.result, HeaderResult::kAccepted);
    EXPECT_EQ(run.header.DataOffset, -2);
}

// A header cut short reads its missing words as 0xFFFF, which is not the magic.
TEST(KdxHeader, TruncatedHeaderIsNotAnOrrimFile) {
    const HeaderRun run = CheckImageHeader({0x00, 0x00, 0x00, 0x03, 0x4F}, 2);
    EXPECT_EQ(run.result, HeaderResult::kNotOrrimMagic);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, test::kNotOrrimText);
}

// ---- Plain files ----

TEST(PlainHeader, DriveZeroTakesTheFirstWordAsTheDataOffset) {
    const HeaderRun run = CheckImageHeader(ImageBuilder::Plain().FillerPackets(3, 20).Build(), 0);
    EXPECT_EQ(run.result, HeaderResult::kAccepted);
    EXPECT_EQ(run.header.DataOffset, 4);
    EXPECT_EQ(run.header.PacketCount, 3);
    EXPECT_TRUE(run.boxes.empty());
}

class PlainFileOnOtherDrive : public testing::TestWithParam<int> {};

// The plain-file message has a blank line between its sentences and always shows ID 0.
TEST_P(PlainFileOnOtherDrive, IsRefusedShowingRevisionZero) {
    const HeaderRun run =
        CheckImageHeader(ImageBuilder::Plain().FillerPackets(1, 20).Build(), GetParam());
    EXPECT_EQ(run.result, HeaderResult::kRevisionMismatch);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, PlainRevisionText("fw.orb"));
    EXPECT_EQ(run.boxes[0].caption, "Orrim file error");
    EXPECT_EQ(run.boxes[0].a, kStopIcon);
}

INSTANTIATE_TEST_SUITE_P(Drives, PlainFileOnOtherDrive, testing::Values(1, 2, 3, 15));

// An empty file reads its first word as 0xFFFF: a plain file with a negative data offset.
TEST(PlainHeader, EmptyFileIsAPlainFileForDriveZero) {
    const HeaderRun accepted = CheckImageHeader({}, 0);
    EXPECT_EQ(accepted.result, HeaderResult::kAccepted);
    EXPECT_EQ(accepted.header.DataOffset, -1);
    const HeaderRun refused = CheckImageHeader({}, 1);
    EXPECT_EQ(refused.result, HeaderResult::kRevisionMismatch);
    ASSERT_EQ(refused.boxes.size(), 1u);
    EXPECT_EQ(refused.boxes[0].text, PlainRevisionText("fw.orb"));
}

// A file that begins with a packet is a plain file whose count is the first length word.
TEST(PlainHeader, FileStartingWithAPacketHasNegativeOffsetAndLengthAsCount) {
    const Bytes bytes = image_writer::PacketBytes(image_writer::FillerPayload(0x30, 0, 1));
    const HeaderRun run = CheckImageHeader(bytes, 0);
    EXPECT_EQ(run.result, HeaderResult::kAccepted);
    EXPECT_LT(run.header.DataOffset, 0);
    EXPECT_EQ(run.header.PacketCount, 0x30);
}

// ---- The label in the revision messages ----

struct LabelCase {
    std::string label;
    std::string shown;
};

class RevisionMessageLabel : public testing::TestWithParam<LabelCase> {};

TEST_P(RevisionMessageLabel, ShowsAtMost19Characters) {
    const LabelCase& label = GetParam();
    const HeaderRun kdx =
        CheckImageHeader(ImageBuilder::Kdx(0).FillerPackets(1, 8).Build(), 2, label.label);
    ASSERT_EQ(kdx.boxes.size(), 1u);
    EXPECT_EQ(kdx.boxes[0].text, KdxRevisionText(label.shown, 0));
    const HeaderRun plain =
        CheckImageHeader(ImageBuilder::Plain().FillerPackets(1, 8).Build(), 2, label.label);
    ASSERT_EQ(plain.boxes.size(), 1u);
    EXPECT_EQ(plain.boxes[0].text, PlainRevisionText(label.shown));
}

INSTANTIATE_TEST_SUITE_P(Lengths, RevisionMessageLabel,
                         testing::Values(LabelCase{"", ""}, LabelCase{"a.orb", "a.orb"},
                                         LabelCase{"exactly-19-chars.ab", "exactly-19-chars.ab"},
                                         LabelCase{"twenty-characters.ab", "twenty-characters.a"},
                                         LabelCase{std::string(5000, 'x'), std::string(19, 'x')}));

}  // namespace
}  // namespace vantor
