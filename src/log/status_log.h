// The status log: timestamped, levelled lines on standard output and in
// /var/www/StatusLog.txt, rotated by size through seven older generations, and
// the status-log archive directory emptied on request. A failure that repeats
// is logged once per run of it (LogRepeat), a line that a writer from outside
// can cause at will at most once a second per kind (LogLimited), and text from
// outside the unit with its control characters escaped (LogEscaped).
#pragma once

#include <array>
#include <cstdint>
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

// One kind of line that a writer from outside (of the control FIFO) can cause
// at will: the echo of a test command, a refusal of what it sends. A kind is
// logged at most once a second; the lines of the kind that come within a
// second of the last one logged are held back and counted. Each reporting site
// keeps its record for the whole process (it is listed for LogHeldFlush at its
// first use); the records are used on the main thread only.
struct LogFlood {
    int64_t logged_at = 0; // the unit's clock (pace_clock_us) at the last line
    bool listed = false;
    int level = 0;
    unsigned long held = 0;
    std::array<char, kLogMessageSize> last_held{};
};

// Logs the line when its kind logged nothing for a second; else holds it back.
// When lines were held back, the line that the second allows is instead the
// count of them: "Held back <count> more like: <last held message>" (the held
// line itself when it was one), and this line counts as held.
void LogLimited(LogFlood& kind, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Logs the count of every kind whose lines were held back and which logged
// nothing for a second (called every tick), so that a flood that has stopped
// still leaves its count.
void LogHeldFlush();
// Takes the kind off the list that LogHeldFlush goes through, its held lines
// dropped: before a kind that LogLimited was given ends its life.
void LogLimitedForget(LogFlood& kind);

// Text from outside the unit (FIFO messages, file names, environment values),
// fit for a log line: a backslash, tab, line feed and carriage return become
// "\\", "\t", "\n" and "\r", every other control character "\xHH": the C0
// ones, DEL, and the C1 ones (U+0080 to U+009F), both as UTF-8 ("\xC2\x9B")
// and as raw bytes, as does any byte that is not part of valid UTF-8. The text
// ends before a character whose escape would take it beyond `limit` bytes.
std::string LogEscaped(std::string_view text, size_t limit = 120);
// The same escapes of control characters and bytes of no valid UTF-8, of the
// whole text, a backslash left as it is: text from a file shown on a terminal
// (orvctl), such as the log's lines, which hold their escapes already.
std::string LogEscapedControls(std::string_view text);
