// The answers to control messages: each message handled opens an answer that
// gathers the lines logged for it until its outcome closes it; the last ones
// of the run are written whole into ORV_Answers.txt, read by those who may read
// the status log.
#include "main/command_answer.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/file_access.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::string_view kHeader =
    "; The unit's answers to its last control messages, oldest first (orvctl send shows\n"
    "; its own): Answer=NUMBER done|refused MESSAGE, then the lines logged for it, each\n"
    "; after a TAB.\n";

struct Record {
    Answers answers{};
    unsigned long count = 0;
    bool open = false;
    std::string message; // of the open answer
    bool unpublished = false;
    LogRepeat failing;
};
Record record;

} // namespace

std::string answer_message_text(std::string_view message) {
    return LogEscaped(message, std::string::npos);
}

void answer_begin(std::string_view message) {
    record.open = true;
    record.message = answer_message_text(message);
    LogCaptureBegin();
}

void answer_end(bool carried_out) {
    if (!record.open) return;
    record.open = false;
    auto& kept = record.answers.kept;
    kept.push_back({++record.count, carried_out, std::move(record.message), LogCaptureEnd()});
    if (kept.size() > kAnswersKept) kept.erase(kept.begin());
    record.unpublished = true;
}

void answers_publish() {
    if (!record.unpublished) return;
    record.answers.pid = getpid();
    if (atomic_write_file(kAnswersFilePath, answers_text(record.answers),
                          published_file_access()) != 0) {
        LogRepeated(record.failing, 3, "Cannot write %s: %s\n", kAnswersFilePath,
                    std::strerror(errno));
        return;
    }
    LogRepeatEnd(record.failing);
    record.unpublished = false;
}

void answers_reset() {
    if (record.open) LogCaptureEnd();
    record = Record{};
}

std::string answers_text(const Answers& answers) {
    std::string text(kHeader);
    text.append("Pid=").append(std::to_string(answers.pid)).append("\n");
    for (const CommandAnswer& answer : answers.kept) {
        text.append("Answer=").append(std::to_string(answer.number));
        text.append(answer.carried_out ? " done " : " refused ").append(answer.message);
        for (size_t at = 0, end; at < answer.lines.size(); at = end + 1) {
            end = std::min(answer.lines.find('\n', at), answer.lines.size());
            text.append("\n\t").append(answer.lines, at, end - at);
        }
        text.append("\n");
    }
    return text;
}

bool answers_parse(std::string_view text, Answers& answers) {
    answers = Answers{};
    bool pid_read = false;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string line(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        char* rest = nullptr;
        if (line.starts_with("Pid=")) {
            answers.pid = std::strtol(line.c_str() + 4, &rest, 10);
            pid_read = *rest == '\0';
        } else if (line.starts_with("Answer=")) {
            CommandAnswer answer{std::strtoul(line.c_str() + 7, &rest, 10), false, "", ""};
            const std::string_view words(rest);
            answer.carried_out = words.starts_with(" done ");
            if (!answer.carried_out && !words.starts_with(" refused ")) return false;
            answer.message = words.substr(answer.carried_out ? 6 : 9);
            answers.kept.push_back(std::move(answer));
        } else if (line.starts_with('\t') && !answers.kept.empty()) {
            answers.kept.back().lines += line.substr(1) + "\n";
        } else if (!line.starts_with(';')) {
            return false;
        }
    }
    return pid_read;
}
