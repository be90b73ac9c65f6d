// The status log: timestamped, levelled lines on standard output and in
// /var/www/StatusLog.txt, rotated by size through seven older generations, and
// the status-log archive directory emptied on request.
#pragma once

enum LogOutput { LOG_TO_CONSOLE = 1, LOG_TO_FILE = 2, LOG_TO_BOTH = 3 };

int LogPrint(int outputs, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
int LogWriteToFile(const char* line);
int LogDeleteArchive();
