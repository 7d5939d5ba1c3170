// The options of the simulated drive: one field per option of the device address
// "sim:OPTIONS", and the parser of that text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vantor::sim {

// How the simulated drive(s) behave; every field has an option of the device address
// "sim:OPTIONS" (see ParseSimOptions).
struct SimOptions {
    // Identification and addressing.
    std::uint16_t ident = 0x2083;       // ident=0x2083: the IdentWord of the init reply
    std::vector<int> addresses;         // address=N / addresses=3+7: drives in command mode;
                                        // empty: one drive already in boot-loader mode
    bool stay_in_command_mode = false;  // stay-in-command-mode: ignores the Orrim texts
    std::string password = "qa736";     // password=TEXT: what the drive accepts
    int prompt_length = 3;              // prompt-length=N: bytes of each command-mode answer

    // Breaks.
    bool answer_break = true;    // no-break-answer: never answers a break
    int ignored_breaks = 0;      // ignore-breaks=N: the first N breaks go unanswered
    int break_delay_ms = 2;      // break-delay=MS: from the end of the host's break
                                 // to the start of the drive's
    int break_length_ms = 10;    // break-ms=MS: length of the drive's break
    bool endless_break = false;  // endless-break: the drive's break never ends

    // The init reply.
    std::uint16_t init_ack = 0x4E4F;  // init-ack=0xXXXX: the acknowledgement word sent
    int init_reply_length = 4;        // init-length=N: bytes of the reply actually sent
                                      // (fewer: cut short; more: padded)
    int stray_bytes = 0;              // stray=N: bytes sent before each reply and ack
    int init_delay_ms = 2;            // init-delay=MS: from the frame's end to the reply

    // Packets.
    int ack_on_send = 1;                    // ack-on-send=N: only the N-th send of a packet is
                                            // acknowledged; earlier sends get silence
    bool refuse_first = false;              // refuse-first: the first send of each packet is
                                            // refused with 'NO' and a word
    std::optional<std::uint16_t> response;  // response=??: this response word for every packet
    std::uint16_t status = 0x0000;          // status=0x0080: the status word of every response
    bool no_response = false;               // no-response: acknowledges but never responds
    int ack_delay_ms = 1;                   // ack-delay=MS: from a packet's end to its ack
    int process_ms = 2;                     // process-ms=MS: from the ack to the response

    // Line faults.
    double noise = 0.0;      // noise=P: share of bytes corrupted or dropped
    std::uint64_t seed = 1;  // seed=N: draws the noise
    double duplicate = 0.0;  // duplicate=P: share of bytes that arrive twice

    // Faults of the equipment.
    int unplug_at_ms = -1;   // unplug-at=MS: the adapter goes away this long after the world
                             // starts; from then on every call on the device fails
    int reset_in_frame = 0;  // reset-in-frame=N: the drive resets itself halfway through the
                             // N-th boot-loader frame it receives (the init frame counts)

    // The host's receive side: bytes reach the receive queue in bursts, as from a UART's
    // FIFO: when `fifo_trigger` bytes have gathered, or when the line has been quiet for
    // `fifo_timeout_chars` character times after the last one.
    int fifo_trigger = 14;       // fifo=N (1: every byte at once)
    int fifo_timeout_chars = 4;  // fifo-timeout=N
};

// Parses the comma-separated options that follow "sim:" ("" gives the defaults), or names the
// bad option.
Result<SimOptions> ParseSimOptions(const std::string& text);

}  // namespace vantor::sim
