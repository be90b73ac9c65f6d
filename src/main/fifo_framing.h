// Framing of the control FIFO: the text read from it, split into messages.
// Other programs write each message with one write. A line that begins with a
// command word begins a new message; any other line belongs to the message
// before it (such as the FileName= line of a "[SetupChange]"), and text before
// the first such line is a message of its own. So messages written one after
// another are told apart when each ends in a line feed; without one, the next
// message continues its line and only the first command is recognised.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// The longest message that is handled; a longer one is reported and dropped.
constexpr size_t kMaxMessageSize = 511;

struct FifoMessage {
    std::string_view text; // with its line ends
    bool too_long;
};

struct FifoSplit {
    std::vector<FifoMessage> messages;
    size_t consumed; // bytes of the text that the messages cover
};

// Splits text read from the control FIFO into messages, in order. When
// `complete` is false the text may stop inside its last message, which is then
// left unconsumed, to be split again with the text of the next read.
FifoSplit split_fifo_messages(std::string_view text, bool complete);

// Whether the text's last message is a "[SetupChange]" without its FileName
// line yet: its writer writes line by line (as a shell's printf does), and
// the rest follows at once.
bool fifo_text_awaits_file_name(std::string_view text);
