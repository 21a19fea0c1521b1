// The process-wide logger: one record buffer behind one re-entrant lock, the
// registry settings applied at load, and the per-thread suppression counters.
#include "Log.h"

#include "internal/Logger.h"

#include "../ipc/Lock.h"
#include "../policy/ProcessConfig.h"
#include "../sys/internal/Handles.h"
#include "../sys/internal/NoThrow.h"
#include "../sys/internal/Ntdll.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <streambuf>
#include <utility>

namespace zem {
namespace vfs {

std::atomic<unsigned> Log::state_{4u};

namespace {

// The thread-local slot of the suppression counters; none until the library
// is attached to the process.
std::atomic<DWORD> g_log_slot{TLS_OUT_OF_INDEXES};

char const *const kLevelNames[8] = {"emerge", "alert",  "crit", "error",
                                    "warn",   "notice", "info", "debug"};

bool ascii_iequal(char const *a, char const *b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? char(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? char(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// logbuf
// ---------------------------------------------------------------------------

// The one record buffer of the process and the lock that serialises records.
// The put area is the first 4095 bytes of the array; the last byte stays NUL.
class logbuf : public std::streambuf {
public:
    logbuf();
    ~logbuf() override;
    logbuf(logbuf const &) = delete;
    logbuf &operator=(logbuf const &) = delete;

    // Opens `path` and swaps it in for the current file under the lock; when
    // it cannot be opened the current file is closed and the sink goes off.
    bool open_file(char const *path);
    Lock &lock() { return lock_; }
    bool pid() const { return pid_; }
    std::string const &filename() const { return filename_; }

    static void set_threshold(unsigned level) {
        unsigned state = Log::state_.load(std::memory_order_relaxed);
        while (!Log::state_.compare_exchange_weak(state, (state & ~Log::level_bits) | level))
            ;
    }
    static void set_bit(unsigned bit, bool on) {
        if (on)
            Log::state_.fetch_or(bit);
        else
            Log::state_.fetch_and(~bit);
    }

protected:
    // Emits the pending text: a line feed when it lacks one, then debugger,
    // file, standard output; the put area is empty again afterwards.
    int sync() override;

private:
    static const std::size_t record_size = 4096;
    static const std::size_t put_area = record_size - 1;

    void apply_settings();
    void apply_log_file(std::string const &pattern);
    void close_file();

    Lock lock_;
    char record_[record_size];
    detail::FileHandle file_;
    bool pid_;
    std::string filename_;
};

namespace {

// The logger once built, null before the library's startup and after unload:
// a Log object made outside that time writes nothing.
std::atomic<logbuf *> g_logger{nullptr};

} // namespace

logbuf::logbuf() : pid_(false) {
    std::memset(record_, 0, sizeof record_);
    Log::state_.store(4u);
    apply_settings();
    setp(record_, record_ + put_area);
}

logbuf::~logbuf() {
    g_logger.store(nullptr);
    lock_.lock();
    Log::state_.store(0u);
    close_file();
    pid_ = false;
    filename_.clear();
    setp(record_, record_ + put_area);
    lock_.unlock();
}

void logbuf::close_file() {
    set_bit(Log::file_bit, false);
    file_.reset();
}

bool logbuf::open_file(char const *path) {
    detail::FileHandle file(
        path == nullptr ? INVALID_HANDLE_VALUE
                        : CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        auto_lock hold(lock_);
        close_file();
        return false;
    }
    // The new file replaces the old one under the lock and the file sink
    // stays on throughout: a record checked during the switch lands in the
    // old file or in the new one, never nowhere. The old one is closed
    // outside the lock.
    detail::FileHandle old;
    {
        auto_lock hold(lock_);
        old = std::move(file_);
        file_ = std::move(file);
        set_bit(Log::file_bit, true);
    }
    return true;
}

namespace {

// Applies a setting from the first of `keys` that holds a valid value for it:
// `take` reads the setting from one key and applies it, false when the key
// does not have it or its value is unusable.
template <class Take> void from_first_key(ProcessConfig *const (&keys)[2], Take take) {
    for (ProcessConfig *key : keys) {
        if (take(*key))
            return;
    }
}

} // namespace

// Each setting is taken from the program's key when it is there and valid,
// else from the common key; a setting found nowhere keeps its default.
void logbuf::apply_settings() {
    // Out of memory while loading: the settings read so far stay.
    detail::no_throw([this] {
        ProcessConfig own(0, nullptr, false);
        ProcessConfig common(0, "", false);
        ProcessConfig *const keys[2] = {&own, &common};

        from_first_key(keys, [](ProcessConfig &key) {
            std::string text;
            int level = -1;
            if (key.get_string("LogLevel", text))
                level = detail::parse_log_level(text.c_str());
            if (level < 0 || level > 7)
                return false;
            set_threshold(static_cast<unsigned>(level));
            return true;
        });
        from_first_key(keys, [](ProcessConfig &key) {
            int value = 0;
            if (!key.get_int("LogDebug", value))
                return false;
            set_bit(Log::debugger_bit, value != 0);
            return true;
        });
        from_first_key(keys, [this](ProcessConfig &key) {
            std::string pattern;
            if (!key.get_string("LogFile", pattern))
                return false;
            apply_log_file(pattern);
            return true;
        });
        from_first_key(keys, [this](ProcessConfig &key) {
            int value = 0;
            if (!key.get_int("LogPID", value))
                return false;
            pid_ = value != 0;
            return true;
        });
    });
}

void logbuf::apply_log_file(std::string const &pattern) {
    close_file();
    if (pattern.empty())
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string image;
    bool have_image = detail::current_image_path(image);
    std::string name;
    if (!detail::expand_log_file_name(pattern, GetCurrentProcessId(),
                                      have_image ? image.c_str() : nullptr, now, name))
        return;
    filename_ = name;
    open_file(filename_.c_str());
}

int logbuf::sync() {
    char *begin = pbase();
    char *end = pptr();
    if (end == begin)
        return 0;
    detail::LastErrorKeeper keep;
    // A record cut at the end of the buffer ends with its line feed in place
    // of its last stored character.
    if (end[-1] != '\n') {
        if (end < record_ + put_area)
            *end++ = '\n';
        else
            end[-1] = '\n';
    }
    *end = '\0';
    unsigned state = Log::state_.load(std::memory_order_relaxed);
    if (state & Log::debugger_bit)
        OutputDebugStringA(begin);
    if (file_) {
        disable_thread_log();
        DWORD written = 0;
        WriteFile(file_.get(), begin, static_cast<DWORD>(end - begin), &written, nullptr);
        enable_thread_log();
    }
    if (state & Log::console_bit) {
        detail::no_throw([&] { std::cout.write(begin, end - begin); });
    }
    setp(record_, record_ + put_area);
    return 0;
}

// ---------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------

Log::Log(char const *file, int line, int level)
    : std::ostream(nullptr), lock_(nullptr), level_(level) {
    logbuf *buffer = g_logger.load(std::memory_order_acquire);
    if (buffer == nullptr)
        return; // no buffer: the stream is bad and takes nothing
    detail::LastErrorKeeper keep;
    buffer->lock().lock();
    lock_ = &buffer->lock();
    rdbuf(buffer);
    if (level_ & 8)
        return; // a bare record: no prefix

    char prefix[1024];
    std::size_t used = 0;
    if (file != nullptr && level_ == 7) {
        int n = std::snprintf(prefix, sizeof prefix, "%s(%d): ", file, line);
        used = n < 0 ? 0 : std::min<std::size_t>(std::size_t(n), sizeof prefix - 1);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (used < sizeof prefix - 1) {
        unsigned long thread = GetCurrentThreadId();
        int n;
        if (buffer->pid())
            n = std::snprintf(prefix + used, sizeof prefix - used,
                              "[%04d-%02d-%02d %02d:%02d:%02d.%03d] [%04lu] [%04lu] ", now.wYear,
                              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                              now.wMilliseconds, GetCurrentProcessId(), thread);
        else
            n = std::snprintf(prefix + used, sizeof prefix - used,
                              "[%04d-%02d-%02d %02d:%02d:%02d.%03d] [%04lu] ", now.wYear,
                              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                              now.wMilliseconds, thread);
        if (n > 0)
            used = std::min<std::size_t>(used + std::size_t(n), sizeof prefix - 1);
    }
    write(prefix, static_cast<std::streamsize>(used));
}

Log::~Log() {
    if (lock_ == nullptr)
        return;
    DWORD error = GetLastError();
    // The buffer is synchronised directly: a record that overflowed the
    // buffer has put the stream in its failed state, and is still emitted.
    detail::no_throw([this] {
        if (std::streambuf *buffer = rdbuf())
            buffer->pubsync();
    });
    SetLastError(error);
    lock_->unlock();
}

bool Log::open(char const *path) {
    logbuf *buffer = g_logger.load(std::memory_order_acquire);
    if (buffer == nullptr)
        return false;
    // The new file is opened outside the lock and swapped in under it, so
    // that no record is written to a handle that is closed meanwhile.
    detail::LastErrorKeeper keep;
    return buffer->open_file(path);
}

void Log::console(bool on) {
    logbuf::set_bit(console_bit, on);
}

bool Log::level(int n) {
    if (static_cast<unsigned>(n) > 7u)
        return false;
    logbuf::set_threshold(static_cast<unsigned>(n));
    return true;
}

bool Log::level(char const *name) {
    return level(detail::parse_log_level(name));
}

std::string const &Log::filename() const {
    static std::string const none;
    logbuf *buffer = g_logger.load(std::memory_order_acquire);
    return buffer != nullptr ? buffer->filename() : none;
}

// ---------------------------------------------------------------------------
// Per-thread suppression
// ---------------------------------------------------------------------------

void enable_thread_log() {
    DWORD slot = g_log_slot.load(std::memory_order_relaxed);
    if (slot == TLS_OUT_OF_INDEXES)
        return;
    detail::LastErrorKeeper keep;
    ULONG_PTR count = reinterpret_cast<ULONG_PTR>(TlsGetValue(slot));
    if (count != 0)
        TlsSetValue(slot, reinterpret_cast<LPVOID>(count - 1));
}

void disable_thread_log() {
    DWORD slot = g_log_slot.load(std::memory_order_relaxed);
    if (slot == TLS_OUT_OF_INDEXES)
        return;
    detail::LastErrorKeeper keep;
    ULONG_PTR count = reinterpret_cast<ULONG_PTR>(TlsGetValue(slot));
    TlsSetValue(slot, reinterpret_cast<LPVOID>(count + 1));
}

bool can_thread_log() {
    DWORD slot = g_log_slot.load(std::memory_order_relaxed);
    if (slot == TLS_OUT_OF_INDEXES)
        return true;
    detail::LastErrorKeeper keep;
    return TlsGetValue(slot) == nullptr;
}

// ---------------------------------------------------------------------------
// Startup, the slot, and the setting rules
// ---------------------------------------------------------------------------

namespace detail {

void start_logger() {
    // Built on first call, destroyed when the library unloads.
    static logbuf logger;
    g_logger.store(&logger, std::memory_order_release);
}

bool alloc_thread_log_slot() {
    if (g_log_slot.load() != TLS_OUT_OF_INDEXES)
        return true;
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES)
        return false;
    g_log_slot.store(slot);
    return true;
}

void free_thread_log_slot() {
    DWORD slot = g_log_slot.exchange(TLS_OUT_OF_INDEXES);
    if (slot != TLS_OUT_OF_INDEXES)
        TlsFree(slot);
}

int parse_log_level(char const *text) {
    if (text == nullptr)
        return -1;
    for (int i = 0; i < 8; ++i) {
        if (ascii_iequal(text, kLevelNames[i]))
            return i;
    }
    if (*text == '\0')
        return -1;
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return -1;
    return static_cast<int>(value);
}

} // namespace detail
} // namespace vfs
} // namespace zem

// ---------------------------------------------------------------------------
// Printers
// ---------------------------------------------------------------------------

namespace std {

ostream &operator<<(ostream &os, zem::vfs::DataTrunk const *trunk) {
    if (trunk == nullptr)
        return os << "<null>";
    os << "DataTrunk Size: " << std::dec << trunk->size;
    // A chunk without bytes (or, defensively, without a data pointer) ends
    // with its size line.
    if (trunk->size == 0 || trunk->data == nullptr)
        return os;
    os << std::endl;
    unsigned char const *bytes = static_cast<unsigned char const *>(trunk->data);
    std::size_t const count = trunk->size < 64 ? std::size_t(trunk->size) : 64;
    os << std::hex << std::setfill('0');
    for (std::size_t line = 0; line < count; line += 16) {
        std::size_t const n = std::min<std::size_t>(16, count - line);
        os << std::setw(4) << line;
        for (std::size_t i = 0; i < n; ++i)
            os << ' ' << std::setw(2) << unsigned(bytes[line + i]);
        for (std::size_t i = n; i < 16; ++i)
            os << "   ";
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char c = bytes[line + i];
            os << ' ' << (c >= 0x20 && c <= 0x80 ? char(c) : '.');
        }
        os << std::endl;
    }
    return os;
}

ostream &operator<<(ostream &os, _FILETIME const *time) {
    if (time == nullptr)
        return os << "<null>";
    FILETIME local;
    SYSTEMTIME calendar;
    if (FileTimeToLocalFileTime(time, &local) && FileTimeToSystemTime(&local, &calendar)) {
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", calendar.wYear,
                      calendar.wMonth, calendar.wDay, calendar.wHour, calendar.wMinute,
                      calendar.wSecond, calendar.wMilliseconds);
        return os << text;
    }
    zem::vfs::uint64 value =
        (zem::vfs::uint64(time->dwHighDateTime) << 32) | zem::vfs::uint64(time->dwLowDateTime);
    return os << '<' << std::hex << value << '>';
}

} // namespace std
