// The answers to control messages: what became of each message handled
// (carried out or refused) with the lines the unit logged for it, kept for the
// last messages of the program's run and published in ORV_Answers.txt, where
// their sender (orvctl send) reads its own as chronyc prints a daemon's reply.
#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr const char* kAnswersFilePath = "/var/kelvatro/conf/ORV_Answers.txt";
constexpr size_t kAnswersKept = 16;

struct CommandAnswer {
    unsigned long number; // counted from 1 over the program's run
    bool carried_out;
    std::string message; // as answer_message_text gives it
    std::string lines;   // logged for it, each ending in a line feed
};

// The answers of one program's run, oldest first.
struct Answers {
    long pid;
    std::vector<CommandAnswer> kept;
};

// Opens the answer to a message about to be handled: the lines logged on this
// thread from now on are its lines.
void answer_begin(std::string_view message);
// Closes the open answer, if one is open, with its outcome.
void answer_end(bool carried_out);
// Writes the answers file when answers were closed since its last writing (a
// failure logged once until a write succeeds).
void answers_publish();
// Forgets the answers (tests).
void answers_reset();

// A message as its answer names it: the whole text, control characters escaped.
std::string answer_message_text(std::string_view message);
// The answers file's text, and back; false for a text that is no answers file.
std::string answers_text(const Answers& answers);
bool answers_parse(std::string_view text, Answers& answers);
