// The status log: timestamped, levelled lines on standard output and in
// /var/www/StatusLog.txt, rotated by size through seven older generations, and
// the status-log archive directory emptied on request. A failure that repeats
// is logged once per run of it (LogRepeat), and text from outside the unit is
// logged with its control characters escaped (LogEscaped).
#pragma once

#include <array>
#include <string>
#include <string_view>

enum LogOutput { LOG_TO_CONSOLE = 1, LOG_TO_FILE = 2, LOG_TO_BOTH = 3 };

// The longest message, its line end included, is one byte shorter.
constexpr int kLogMessageSize = 256;

int LogPrint(int outputs, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
int LogWriteToFile(const char* line);
int LogDeleteArchive();

// One failure that may come again and again (every tick, every message): the
// first report of a run is logged, the ones after it are only counted, and the
// end of the run logs how often it came again. A run is one of its reporting
// site, whatever the text of each report (a writer that varies its messages
// gets one line a run too). Each site keeps its own record (or one per thing
// it reports on, such as a file); the record is not locked, its site's own
// lock or thread covers it.
struct LogRepeat {
    bool running = false;
    int level = 0;
    unsigned long repeats = 0;
    std::array<char, kLogMessageSize> first{}; // the message that began the run
};

// Reports the failure to console and status log when it begins a run of `run`;
// within a run it is only counted.
void LogRepeated(LogRepeat& run, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Ends the run, as when the failing work succeeds again. When the failure came
// again within the run, logs "Repeated <count> more times: <first message>" at
// the run's level.
void LogRepeatEnd(LogRepeat& run);

// Text from outside the unit (FIFO messages, file names, environment values),
// fit for a log line: a backslash, tab, line feed and carriage return become
// "\\", "\t", "\n" and "\r", every other control character "\xHH". The text
// ends before a character whose escape would take it beyond `limit` bytes.
std::string LogEscaped(std::string_view text, size_t limit = 120);
