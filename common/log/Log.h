// The process-wide logger.
//
// A record is written through a short-lived Log object: constructing it takes
// the logger's lock and writes the record prefix, the caller streams text into
// it, destroying it emits the record and releases the lock. Records go to the
// debugger output channel, the log file and standard output, whichever are on.
// The threshold, debugger output, the log file and the process id in the
// prefix come from the registry when the library loads ("LogLevel",
// "LogDebug", "LogFile", "LogPID"); the level, the console and the file can
// be changed at run time.
//
// Levels: 0 "emerge", 1 "alert", 2 "crit", 3 "error", 4 "warn", 5 "notice",
// 6 "info", 7 "debug". A record is written when its level is at most the
// threshold (4 by default). A level with 8 added makes a bare record: no
// prefix.
//
// Every record of the library is written through ZEM_LOG below, which costs
// one load and a compare when the level is disabled.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

#include "../config.h"
#include "../serialize/StreamBuf.h"

struct _FILETIME;

namespace zem {
namespace vfs {

class Lock;
class logbuf;

class ZEM_VFS_API Log : public std::ostream {
public:
    // Takes the logger lock and, unless `level` has bit 3 (8) set, writes the
    // prefix: "<file>(<line>): " when `file` is not null and the level is 7,
    // then "[YYYY-MM-DD hh:mm:ss.mmm] [tid] " in local time, or
    // "[YYYY-MM-DD hh:mm:ss.mmm] [pid] [tid] " when the process id is on. The
    // threshold is not tested here: callers test can() first.
    Log(char const *file, int line, int level);
    // Emits what is pending (a line feed is added when the text does not end
    // with one) and releases the lock; the thread's last-error code is kept.
    virtual ~Log();
    Log(Log const &) = delete;
    Log &operator=(Log const &) = delete;

    // The operations below act on the process-wide state, whichever Log
    // object they are called on (a bare Log(nullptr, 0, 8) writes nothing).

    // Closes the current log file and opens `path` for appending (created
    // when missing, never truncated). True when the file is open; with a null
    // or unopenable path the logger is left without a file. filename() keeps
    // the name resolved at load.
    bool open(char const *path);
    // Standard output on or off.
    void console(bool on);
    // Sets the threshold; false for anything but 0 to 7.
    bool level(int n);
    // Sets the threshold from a level name (any ASCII case) or a decimal
    // number (leading blanks and a sign allowed, nothing after it); false
    // when the text gives no level 0 to 7.
    bool level(char const *name);
    // Is a record of level `n` written? True when `n` is at most the
    // threshold and at least one sink (debugger, console, file) is on.
    static bool can(int n) {
        unsigned state = state_.load(std::memory_order_relaxed);
        return (state & sink_bits) != 0 && n <= static_cast<int>(state & level_bits);
    }
    // The file name resolved from "LogFile" at load; empty when none.
    std::string const &filename() const;

private:
    friend class logbuf;

    // The process-wide flags: the threshold in bits 0 to 2, then one bit per
    // sink. Read without the lock; can() may see a slightly stale state.
    enum : unsigned {
        level_bits = 7u,
        debugger_bit = 16u,
        console_bit = 32u,
        file_bit = 64u,
        sink_bits = debugger_bit | console_bit | file_bit
    };
    static std::atomic<unsigned> state_;

    Lock *lock_; // the logger's lock, held for the record's life
    int level_;  // the record's level; bit 3 marks a bare record (no prefix)
};

// Per-thread suppression of logging. disable_thread_log raises the calling
// thread's counter, enable_thread_log lowers it again (never below 0), and
// can_thread_log is true while it is 0. The logger raises it around its own
// file write. Without the library's thread-local slot every thread may log.
ZEM_VFS_API void enable_thread_log();
ZEM_VFS_API void disable_thread_log();
ZEM_VFS_API bool can_thread_log();

} // namespace vfs
} // namespace zem

namespace std {

// "DataTrunk Size: <n>", then, when there are bytes, a line feed and a hex
// dump of at most the first 64 bytes, 16 per line: the offset in 4 hex
// digits, " xx" per byte ("   " for each missing byte of a last, short line)
// and " c" per byte, the character itself for 0x20 to 0x80 and "." for any
// other. Leaves the stream in hex mode with fill "0". "<null>" for a null
// pointer.
ZEM_VFS_API ostream &operator<<(ostream &os, zem::vfs::DataTrunk const *trunk);

// A file time as local "YYYY-MM-DD hh:mm:ss.mmm"; "<" and the raw value in
// hex and ">" when it cannot be converted (the stream is left in hex mode).
// "<null>" for a null pointer.
ZEM_VFS_API ostream &operator<<(ostream &os, _FILETIME const *time);

} // namespace std

// Writes one record of `level` built by streaming `message`, for example
//     ZEM_LOG(4, "pipe " << name << " failed: " << err);
// Nothing is formatted and no lock is taken when the level is disabled or the
// thread's logging is suppressed. `level` is evaluated more than once.
#define ZEM_LOG(level, message)                                                                    \
    do {                                                                                           \
        if (::zem::vfs::Log::can(level) && ::zem::vfs::can_thread_log()) {                         \
            ::zem::vfs::Log zem_log_record_(nullptr, 0, (level));                                  \
            zem_log_record_ << message;                                                            \
        }                                                                                          \
    } while (false)
