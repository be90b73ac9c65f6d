// The framing of the control FIFO on any text, as the reads of the main loop
// hand it over: the first byte of an input says where the first read ends. The
// messages cover the text in order without gap or overlap, and two reads give
// the same messages as one read of the whole text.
#include "fuzz_sandbox.h"
#include "main/fifo_framing.h"

#include <string>
#include <vector>

namespace {

// The messages of a split; checks that they follow one another from the
// text's start up to what the split consumed.
std::vector<std::string> messages_of(std::string_view text, const FifoSplit& split) {
    FUZZ_CHECK(split.consumed <= text.size());
    std::vector<std::string> messages;
    size_t at = 0;
    for (const FifoMessage& message : split.messages) {
        FUZZ_CHECK(!message.text.empty() && message.text.data() == text.data() + at);
        FUZZ_CHECK(message.too_long == (message.text.size() > kMaxMessageSize));
        at += message.text.size();
        messages.emplace_back(message.text);
    }
    FUZZ_CHECK(at == split.consumed);
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t first_read = std::min<size_t>(data[0], text.size());

    const std::vector<std::string> whole = messages_of(text, split_fifo_messages(text, true));
    FUZZ_CHECK(text.empty() || !whole.empty());

    const std::string_view first(text.data(), first_read);
    const FifoSplit first_split = split_fifo_messages(first, false);
    std::vector<std::string> in_two = messages_of(first, first_split);
    const std::string rest = text.substr(first_split.consumed);
    for (std::string& message : messages_of(rest, split_fifo_messages(rest, true)))
        in_two.push_back(std::move(message));
    FUZZ_CHECK(in_two == whole);
    return 0;
}
