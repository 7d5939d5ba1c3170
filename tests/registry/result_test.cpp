// The result type every layer reports with: a value, or why there is none.
#include "platform/result.h"

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace vantor {
namespace {

// The port map answers "not mapped" as an empty optional in a successful result; that answer
// must not read as a failure without a reason.
Result<std::optional<std::string>> NotMapped() {
    return std::nullopt;
}

TEST(Result, AnEmptyOptionalIsAValueAndNotAFailure) {
    const Result<std::optional<std::string>> result = NotMapped();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, std::nullopt);
    const Result<std::optional<std::string>> mapped = std::optional<std::string>("/dev/ttyUSB0");
    ASSERT_TRUE(mapped);
    EXPECT_EQ(*mapped, "/dev/ttyUSB0");
}

TEST(Result, AFailureKeepsItsReasonAndGivesTheFallback) {
    Result<std::unique_ptr<int>> failed = Failure{"the store cannot be read"};
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.reason(), "the store cannot be read");
    EXPECT_EQ(std::move(failed).ValueOr(nullptr), nullptr);
    const Result<void> done;
    EXPECT_TRUE(done);
    const Result<void> refused = Failure{"busy"};
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.reason(), "busy");
}

}  // namespace
}  // namespace vantor
