// The comm backend on a real comm port: VANTOR_TEST_COM_PORT names it (for example COM9), and
// whatever is sent there comes back. Without that port the tests are skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/device_address.h"
#include "platform/win/win_comm_calls.h"
#include "support/test_support.h"

namespace vantor::platform {
namespace {

std::string EchoPort() {
    const char* name = std::getenv("VANTOR_TEST_COM_PORT");
    return name != nullptr ? name : "";
}

class WinCommDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (EchoPort().empty()) {
            GTEST_SKIP() << "VANTOR_TEST_COM_PORT names no echoing comm port";
        }
        device_ = test::ValueOf(OpenSerialDevice(EchoPort()));
        ASSERT_NE(device_, nullptr);
        LineSettings settings;
        ASSERT_TRUE(device_->GetSettings(settings));
        settings.BaudRate = 115200;
        ASSERT_TRUE(device_->SetSettings(settings));
        ASSERT_TRUE(device_->Purge(kPurgeRxClear | kPurgeTxClear));
    }
    void TearDown() override {
        if (device_) {
            device_->Close();
        }
    }

    // Waits (at most five seconds) until `count` bytes are waiting; the count seen last.
    std::uint32_t WaitForWaiting(std::uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::uint32_t errors = 0;
        std::uint32_t waiting = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            EXPECT_TRUE(device_->ClearError(errors, waiting));
            if (waiting >= count) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return waiting;
    }

    std::unique_ptr<SerialDevice> device_;
};

TEST_F(WinCommDeviceTest, EveryByteValueGoesOutAndComesBackCounted) {
    std::vector<std::uint8_t> sent(256);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i);
    }
    std::size_t written = 0;
    ASSERT_TRUE(device_->Write(sent.data(), sent.size(), written));
    EXPECT_EQ(written, sent.size());
    EXPECT_EQ(WaitForWaiting(256), 256u);

    std::vector<std::uint8_t> back(300);
    std::size_t got = 0;
    ASSERT_TRUE(device_->Read(back.data(), back.size(), got));
    back.resize(got);
    EXPECT_EQ(back, sent);
    std::uint32_t errors = 1;
    std::uint32_t waiting = 1;
    ASSERT_TRUE(device_->ClearError(errors, waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(errors, 0u);
}

TEST_F(WinCommDeviceTest, TheRateSetIsTheRateReadBack) {
    for (const std::uint32_t rate : {9600u, 57600u, 115200u}) {
        LineSettings settings;
        ASSERT_TRUE(device_->GetSettings(settings));
        settings.BaudRate = rate;
        ASSERT_TRUE(device_->SetSettings(settings));
        LineSettings read_back;
        ASSERT_TRUE(device_->GetSettings(read_back));
        EXPECT_EQ(read_back.BaudRate, rate);
        EXPECT_EQ(read_back.ByteSize, 8);
        EXPECT_EQ(read_back.Parity, 0);
        EXPECT_EQ(read_back.StopBits, 0);
    }
}

TEST_F(WinCommDeviceTest, PurgeDropsWhatWasReceivedAndNotRead) {
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    std::size_t written = 0;
    ASSERT_TRUE(device_->Write(bytes, sizeof(bytes), written));
    ASSERT_EQ(WaitForWaiting(5), 5u);
    ASSERT_TRUE(device_->Purge(kPurgeRxClear | kPurgeTxClear));
    std::uint32_t errors = 0;
    std::uint32_t waiting = 1;
    ASSERT_TRUE(device_->ClearError(errors, waiting));
    EXPECT_EQ(waiting, 0u);
    std::uint8_t buffer[8];
    std::size_t got = 1;
    ASSERT_TRUE(device_->Read(buffer, sizeof(buffer), got));
    EXPECT_EQ(got, 0u);
}

TEST_F(WinCommDeviceTest, ASecondOpenIsRefusedAndAClosedPortRefusesEveryCall) {
    EXPECT_FALSE(OpenSerialDevice(EchoPort()));
    ASSERT_TRUE(device_->Close());
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    EXPECT_FALSE(device_->ClearError(errors, waiting));
    EXPECT_FALSE(device_->SetBreak());
    device_.reset();
    device_ = test::ValueOf(OpenSerialDevice(EchoPort()));
    EXPECT_NE(device_, nullptr);
}

// No pseudo terminal carries a break: the comm calls below the backend add CE_BREAK to the
// word of one ClearCommError, as a driver does after a break on the receive line.
class BreakOnce : public WinCommCalls {
  public:
    BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) override {
        const BOOL done = WinCommCalls::ClearCommError(port, errors, status);
        if (done && pending_) {
            *errors |= CE_BREAK;
            pending_ = false;
        }
        return done;
    }
    bool pending_ = true;
};

TEST_F(WinCommDeviceTest, ABreakSeenByAnyCallIsReportedOnceAsTheBreakFlag) {
    BreakOnce calls;
    WinCommCalls* previous = SetCommCalls(&calls);
    // A read consumes the driver's report; the flag waits for the next ClearError.
    std::uint8_t buffer[4];
    std::size_t got = 0;
    EXPECT_TRUE(device_->Read(buffer, sizeof(buffer), got));
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    EXPECT_TRUE(device_->ClearError(errors, waiting));
    EXPECT_EQ(errors, kLineBreakFlag);
    EXPECT_TRUE(device_->ClearError(errors, waiting));
    EXPECT_EQ(errors, 0u);
    SetCommCalls(previous);
}

TEST_F(WinCommDeviceTest, TheBreakCallsReachThePort) {
    EXPECT_TRUE(device_->SetBreak());
    EXPECT_TRUE(device_->ClearBreak());
}

// An adapter pulled out: from the first ReadFile on, the driver fails every call with the
// error a removed USB serial device gives, and counts the calls that still reach it.
class PulledOut : public WinCommCalls {
  public:
    BOOL ReadFile(HANDLE, void*, DWORD, DWORD*) override { return Gone(); }
    BOOL WriteFile(HANDLE, const void*, DWORD, DWORD*) override { return Gone(); }
    BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) override {
        return gone_ ? Gone() : WinCommCalls::ClearCommError(port, errors, status);
    }
    BOOL Gone() {
        gone_ = true;
        ++calls_after_;
        ::SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    bool gone_ = false;
    int calls_after_ = 0;
};

// Catches a removed adapter taken for a quiet line: the job would wait out every retry and
// report a drive that does not answer instead of the port that went away.
TEST_F(WinCommDeviceTest, APortThatWentAwayIsLostAndRefusesEveryLaterCall) {
    const std::uint8_t byte = 0x55;
    std::size_t written = 0;
    ASSERT_TRUE(device_->Write(&byte, 1, written));
    ASSERT_EQ(WaitForWaiting(1), 1u);
    EXPECT_EQ(device_->Condition().lost, nullptr);
    PulledOut calls;
    WinCommCalls* previous = SetCommCalls(&calls);
    std::uint8_t buffer[4];
    std::size_t got = 0;
    EXPECT_FALSE(device_->Read(buffer, sizeof(buffer), got));
    ASSERT_NE(device_->Condition().lost, nullptr);
    EXPECT_STREQ(device_->Condition().lost, kLostSerialDeviceText);
    const int calls_when_lost = calls.calls_after_;
    std::uint32_t errors = 0;
    std::uint32_t waiting = 0;
    EXPECT_FALSE(device_->ClearError(errors, waiting));
    EXPECT_FALSE(device_->Write(&byte, 1, written));
    EXPECT_FALSE(device_->SetBreak());
    EXPECT_EQ(calls.calls_after_, calls_when_lost) << "a lost port fails without asking the driver";
    SetCommCalls(previous);
}

}  // namespace
}  // namespace vantor::platform
