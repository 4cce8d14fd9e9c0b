#pragma once
// The program's single diagnostic log: one text file per process, written
// line by line from any thread, filtered by level, rotated to "<name>.old"
// when it reaches its size limit.
//
// Line format: [dd-mm-yy HH:MM:SS][LEVEL][module][Class::Method][line] text
#include <cstdarg>
#include <string>

class CLogger {
public:
    // Levels as callers pass them. 7 is the most verbose.
    enum { LEVEL_ERROR = 1, LEVEL_WARNING = 2, LEVEL_DEBUG = 3, LEVEL_INFO = 7 };

    // Writes one line. Returns 1 when written or filtered out by level,
    // 2 when no log file is open, -1 when rotation failed, -2 when the
    // clock could not be read.
    static int Log(int level, const char* module, int line, const char* function, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    static int LogV(int level, const char* module, int line, const char* function, const char* format,
                    va_list args);

    // 1 when the open file has reached the size limit, else 0.
    static int IsNewLogFileRequired();
    // Moves the file to "<name>.old" and opens a new one; 1 or -1.
    // Called with the lock held.
    static int RotateLogFile();
    // Closes the file (process end).
    static void Exit();

    // Opens (appending) the log file; 1 on success, -1 on failure.
    static int Open(const std::string& path);
    static void SetLevel(int threshold);
    static int GetLevel();
    static void SetSizeLimit(long bytes);
    static long GetSizeLimit();
    static std::string GetFileName();
    static bool IsOpen();

    // Name written for a level: "LOG_ERROR", "LOG_WARNING", "LOG_DEBUG",
    // "LOG_INFO" or "Unknown".
    static const char* LevelName(int level);
};
