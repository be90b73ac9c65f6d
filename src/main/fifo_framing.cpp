// Framing of the control FIFO: where one message ends and the next begins.
#include "main/fifo_framing.h"

#include "main/command.h"

FifoSplit split_fifo_messages(std::string_view text, bool complete) {
    FifoSplit split{{}, 0};
    if (text.empty()) return split;
    std::vector<size_t> starts{0};
    for (size_t end = text.find('\n'); end != std::string_view::npos && end + 1 < text.size();
         end = text.find('\n', end + 1))
        if (begins_with_command_word(text.substr(end + 1))) starts.push_back(end + 1);
    const size_t whole = complete ? starts.size() : starts.size() - 1;
    for (size_t i = 0; i < whole; ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        const std::string_view message = text.substr(starts[i], end - starts[i]);
        split.messages.push_back({message, message.size() > kMaxMessageSize});
        split.consumed = end;
    }
    return split;
}

bool fifo_text_awaits_file_name(std::string_view text) {
    const std::vector<FifoMessage> messages = split_fifo_messages(text, true).messages;
    return !messages.empty() && messages.back().text.starts_with("[SetupChange]") &&
           messages.back().text.find("FileName") == std::string_view::npos;
}
