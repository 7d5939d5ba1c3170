#include "link/boot_link.h"

#include "image/image_reader.h"
#include "link/answer_wait.h"
#include "link/link_tally.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/serial/serial_device.h"
#include "platform/window_link.h"

namespace vantor {

using platform::ReportStatus;

void WriteWord(std::uint16_t value) {
    PortWriteByte(value >> 8);
    PortWriteByte(value & 0xFF);
}

std::uint16_t ReadWord() {
    const int high = PortReadByte();
    const int low = PortReadByte();
    return static_cast<std::uint16_t>((high << 8) | low);
}

namespace {

// The init reply: kInitAckWord and the IdentWord.
constexpr int kInitReplyBytes = 4;

bool BreakSeen() {
    return (PortLineErrors() & platform::kLineBreakFlag) != 0;
}

}  // namespace

ResyncResult Resync() {
    ++CurrentLinkTally().Resyncs;
    PortPurgeOutput();
    PortPurgeInput();
    PortLineErrors();  // drops a break flag left from before
    // A break the device refuses to start shows as the drive's missing answer below.
    PortSendBreak();

    // Both waits share one budget: the later the drive's break is seen, the less time is left
    // for it to end. On a network port the wait lasts until the server has given the drive as
    // long (AnswerWait); a port whose far end went away ends the wait at once.
    AnswerWait wait(kResyncPollBudget);
    while (!BreakSeen()) {
        if (PortLost() || !wait.Pause()) {
            ReportStatus("Resync Failure:  Slave did not respond to serial break", 0);
            return ResyncResult::kNoBreakAnswer;
        }
    }
    ++CurrentLinkTally().BreaksAnswered;
    platform::Sleep(1);  // one look after the break was seen, not counted as a poll
    // Nothing announces the break's end (the flag only stops coming), so this wait looks every
    // millisecond.
    while (BreakSeen()) {
        if (PortLost() || !wait.Next()) {
            ReportStatus("Resync Failure:  Slave did not quit sending a serial break", 0);
            return ResyncResult::kBreakNotEnded;
        }
        platform::Sleep(1);
    }
    platform::Sleep(kResyncSettleMs);
    PortPurgeOutput();
    PortPurgeInput();
    return ResyncResult::kDone;
}

IdentifyResult Identify() {
    PortPurgeOutput();
    PortPurgeInput();
    WriteWord(kBopWord);
    WriteWord(0x0002);
    WriteWord(0x0000);
    WriteWord(0x3333);
    AnswerWait wait(kInitReplyWaitMs);
    platform::Sleep(kInitReplyWaitMs);
    wait.Finish();
    if (PortBytesWaiting() == 0) {
        ReportStatus("Orrim Init Failure:  Slave did not respond to cmd packet", 0);
        return IdentifyFailure::kNoAnswer;
    }
    if (PortBytesWaiting() != kInitReplyBytes) {
        ReportStatus("Orrim Init Failure: Slave incorrectly transmitted", 0);
        return IdentifyFailure::kWrongLength;
    }
    if (ReadWord() != kInitAckWord) {
        ReportStatus("Orrim Init Failure:  Incorrect response received.", 0);
        return IdentifyFailure::kWrongAck;
    }
    return ReadWord();
}

void ResetDrive() {
    WriteWord(kBopWord);
    WriteWord(0x0006);
    WriteWord(0x4558);
    WriteWord(0x0000);
    WriteWord(0xFFFE);
    WriteWord(0x02A0);
}

}  // namespace vantor
