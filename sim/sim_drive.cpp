#include "sim/sim_drive.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/invariant.h"

namespace vantor::sim {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
// The command mode answers a text a moment after its carriage return.
constexpr std::int64_t kPromptDelayNs = 1 * kNsPerMs;
// A text longer than this is not a command the drive knows; it keeps only the start.
constexpr std::size_t kMaxTextBytes = 128;
constexpr std::uint8_t kStrayByte = 0x00;

const std::vector<std::uint8_t> kInitFrame = {0xA5, 0x5A, 0x00, 0x02, 0x00, 0x00, 0x33, 0x33};
const std::vector<std::uint8_t> kResetFrame = {0xA5, 0x5A, 0x00, 0x06, 0x45, 0x58,
                                               0x00, 0x00, 0xFF, 0xFE, 0x02, 0xA0};

std::int64_t Ms(int ms) {
    return static_cast<std::int64_t>(ms) * kNsPerMs;
}

void AppendWord(std::vector<std::uint8_t>& bytes, std::uint16_t word) {
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

std::uint16_t WordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    VANTOR_ASSERT(offset + 1 < bytes.size());
    return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

char AddressCharacter(int address) {
    return static_cast<char>(address < 10 ? '0' + address : 'A' + address - 10);
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The command mode's prompt: a new line and '>' characters, cut to the configured length.
std::vector<std::uint8_t> Prompt(int length) {
    std::vector<std::uint8_t> prompt = {'\r', '\n'};
    prompt.resize(static_cast<std::size_t>(std::max(length, 0)), '>');
    return prompt;
}

bool IsCommandWord(std::uint16_t word) {
    return word == 0x4552 || word == 0x4558 || word == 0x5752 || word == kReadWord;
}

}  // namespace

SimDrive::SimDrive(const SimOptions& options, int address, DrivePort& port)
    : options_(options),
      address_(address),
      port_(port),
      mode_(address < 0 ? DriveMode::BootLoader : DriveMode::CommandMode) {}

void SimDrive::ReceiveByte(std::uint8_t byte, std::int64_t now_ns) {
    if (mode_ == DriveMode::CommandMode) {
        ReceiveTextByte(byte, now_ns);
    } else {
        ReceiveFrameByte(byte, now_ns);
    }
}

void SimDrive::ReceiveBreak(std::int64_t now_ns) {
    // The command mode takes a break for line noise; only the boot loader resynchronises.
    if (mode_ == DriveMode::CommandMode) {
        return;
    }
    ++generation_;
    ResetFrameParser();
    if (!options_.answer_break || ++breaks_seen_ <= options_.ignored_breaks) {
        return;
    }
    const std::uint64_t generation = generation_;
    const std::int64_t length_ns = options_.endless_break ? -1 : Ms(options_.break_length_ms);
    port_.Schedule(now_ns + Ms(options_.break_delay_ms), [this, generation, length_ns] {
        if (generation == generation_) {
            port_.SendBreak(length_ns);
        }
    });
}

// ---- Command mode ----

void SimDrive::ReceiveTextByte(std::uint8_t byte, std::int64_t now_ns) {
    if (byte != '\r') {
        if (text_.size() < kMaxTextBytes) {
            text_.push_back(static_cast<char>(byte));
        }
        return;
    }
    const std::string text = std::move(text_);
    text_.clear();
    HandleText(text, now_ns);
}

void SimDrive::HandleText(const std::string& text, std::int64_t now_ns) {
    if (HandleSelection(text) || !selected_) {
        return;
    }
    if (AdvanceEntry(text) && !options_.stay_in_command_mode) {
        EnterBootLoader();
        return;
    }
    SendAt(now_ns + kPromptDelayNs, Prompt(options_.prompt_length));
}

// A selection names one drive (or all of them with '*'); it is not answered.
bool SimDrive::HandleSelection(const std::string& text) {
    if (text.size() != 2 || text[0] != '\\') {
        return false;
    }
    selected_ = text[1] == '*' || text[1] == AddressCharacter(address_);
    entry_stage_ = 0;
    return true;
}

// The boot loader is entered by a prompt command, the password and the word Orrim, in this
// order; returns true when the word Orrim completes the sequence.
bool SimDrive::AdvanceEntry(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    const std::string password_prefix = "password ";
    if (Lowercase(text) == "prompt 1") {
        entry_stage_ = 1;
    } else if (entry_stage_ == 1 && text == password_prefix + options_.password) {
        entry_stage_ = 2;
    } else if (entry_stage_ == 2 && text == "Orrim") {
        entry_stage_ = 0;
        return true;
    } else {
        entry_stage_ = 0;
    }
    return false;
}

void SimDrive::EnterBootLoader() {
    mode_ = DriveMode::BootLoader;
    ++generation_;
    ResetFrameParser();
}

void SimDrive::EnterCommandMode() {
    mode_ = DriveMode::CommandMode;
    ++generation_;
    selected_ = false;
    entry_stage_ = 0;
    text_.clear();
}

// ---- Boot loader ----

void SimDrive::ResetFrameParser() {
    step_ = FrameStep::Hunt;
    frame_.clear();
    frame_length_ = 0;
}

// A drive with an address starts in its command mode, deselected; one without starts in its
// boot loader.
void SimDrive::ResetItself() {
    send_count_ = 0;
    last_packet_.clear();
    if (address_ >= 0) {
        EnterCommandMode();
    } else {
        ++generation_;
    }
    ResetFrameParser();
}

void SimDrive::ReceiveFrameByte(std::uint8_t byte, std::int64_t now_ns) {
    switch (step_) {
        case FrameStep::Hunt:
            if (byte == 0xA5) {
                frame_.assign(1, byte);
                step_ = FrameStep::SecondBopByte;
            }
            return;
        case FrameStep::SecondBopByte:
            if (byte == 0x5A) {
                frame_.push_back(byte);
                step_ = FrameStep::Body;
            } else if (byte != 0xA5) {
                ResetFrameParser();
            }
            return;
        case FrameStep::Body:
            break;
    }
    frame_.push_back(byte);
    if (frame_.size() == 4) {
        const std::size_t payload_bytes = WordAt(frame_, 2);
        if (payload_bytes > kMaxPacketPayload) {
            ResetFrameParser();
            Refuse(kRefusedLength, now_ns);
            return;
        }
        frame_length_ = payload_bytes + 6;
        ++frames_received_;
    }
    if (frames_received_ == options_.reset_in_frame && frame_length_ != 0 &&
        frame_.size() == std::max<std::size_t>(frame_length_ / 2, 4)) {
        ResetItself();
        return;
    }
    if (frame_.size() == frame_length_) {
        HandleFrame(now_ns);
        ResetFrameParser();
    }
}

void SimDrive::HandleFrame(std::int64_t now_ns) {
    if (frame_ == kInitFrame) {
        std::vector<std::uint8_t> reply;
        AppendWord(reply, options_.init_ack);
        AppendWord(reply, options_.ident);
        reply.resize(static_cast<std::size_t>(std::max(options_.init_reply_length, 0)), 0x00);
        AnswerAt(now_ns + Ms(options_.init_delay_ms), std::move(reply));
        return;
    }
    if (frame_ == kResetFrame) {
        port_.CountReset();
        // The new firmware starts; a drive with an address is back in its command mode.
        if (address_ >= 0) {
            EnterCommandMode();
        } else {
            ++generation_;
        }
        return;
    }
    HandlePacket(now_ns);
}

void SimDrive::HandlePacket(std::int64_t now_ns) {
    std::uint16_t sum = 0;
    for (std::size_t i = 2; i + 2 < frame_.size(); ++i) {
        sum = static_cast<std::uint16_t>(sum + frame_[i]);
    }
    if (sum != WordAt(frame_, frame_.size() - 2)) {
        Refuse(kRefusedChecksum, now_ns);
        return;
    }
    send_count_ = frame_ == last_packet_ ? send_count_ + 1 : 1;
    last_packet_ = frame_;
    if (options_.refuse_first && send_count_ == 1) {
        Refuse(kRefusedFirstSend, now_ns);
    } else if (send_count_ >= options_.ack_on_send) {
        Acknowledge(now_ns);
    }
    // Earlier sends of a packet that the drive acknowledges only later get silence.
}

void SimDrive::Refuse(std::uint16_t reason, std::int64_t now_ns) {
    std::vector<std::uint8_t> refusal;
    AppendWord(refusal, kRefuseWord);
    AppendWord(refusal, reason);
    AnswerAt(now_ns + Ms(options_.ack_delay_ms), std::move(refusal));
}

void SimDrive::Acknowledge(std::int64_t now_ns) {
    const std::int64_t ack_ns = now_ns + Ms(options_.ack_delay_ms);
    std::vector<std::uint8_t> ack;
    AppendWord(ack, kAckWord);
    AnswerAt(ack_ns, std::move(ack));
    const std::uint64_t generation = generation_;
    port_.Schedule(ack_ns, [this, generation, packet = last_packet_] {
        if (generation == generation_) {
            port_.AcceptPacket(packet);
        }
    });
    if (!options_.no_response) {
        AnswerAt(ack_ns + Ms(options_.process_ms), Response());
    }
}

std::uint16_t SimDrive::ResponseWord() const {
    if (options_.response) {
        return *options_.response;
    }
    // The payload starts 4 bytes into the frame; it echoes a command word it knows.
    if (last_packet_.size() >= 8 && IsCommandWord(WordAt(last_packet_, 4))) {
        return WordAt(last_packet_, 4);
    }
    return kInvalidWord;
}

std::vector<std::uint8_t> SimDrive::Response() const {
    std::vector<std::uint8_t> response;
    const std::uint16_t word = ResponseWord();
    AppendWord(response, word);
    AppendWord(response, options_.status);
    if (word != kReadWord || options_.status != 0) {
        return response;
    }
    // A read answers with a count word (payload bytes 6 and 7) and that many data bytes.
    const std::size_t payload_bytes = last_packet_.size() - 6;
    const std::uint16_t count = payload_bytes >= 8 ? WordAt(last_packet_, 4 + 6) : 0;
    AppendWord(response, count);
    for (std::uint16_t i = 0; i < count; ++i) {
        response.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    }
    return response;
}

void SimDrive::AnswerAt(std::int64_t at_ns, std::vector<std::uint8_t> bytes) {
    bytes.insert(bytes.begin(), static_cast<std::size_t>(std::max(options_.stray_bytes, 0)),
                 kStrayByte);
    SendAt(at_ns, std::move(bytes));
}

void SimDrive::SendAt(std::int64_t at_ns, std::vector<std::uint8_t> bytes) {
    const std::uint64_t generation = generation_;
    port_.Schedule(at_ns, [this, generation, answer = std::move(bytes)] {
        if (generation == generation_) {
            port_.Transmit(answer);
        }
    });
}

}  // namespace vantor::sim
