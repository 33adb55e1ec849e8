// Log: one levelled log with size-based rotation of its file, and the message calls.
#include "adt/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "adt/array.h"
#include "adt/lib.h"

namespace adt
{

// The level words of the lines and the accepted level names, by level.
static const char *const LevelNames[4] = {"None", "Error", "Info", "Debug"};
// The syslog priority of each level.
static const int SyslogLevels[4] = {LOG_DEBUG, LOG_ERR, LOG_INFO, LOG_DEBUG};
// The names of the destinations, by LOG_TO_ value.
static const char *const Destinations[3] = {"file", "syslog", "stderr"};

// The log that emsg, imsg and dmsg write to.
static Log *CurrentLog = nullptr;
// Error texts (owned) raised while no log could take them.
static Array EmsgLog = nullptr;

// Most error texts held back; beyond it the oldest are dropped, so a run
// whose log stays at level None keeps bounded memory.
enum { EMSG_KEEP = 1000 };

// A message keeps at most 999 characters.
enum { MSG_SIZE = 1000 };
// A line of the file: the stamp, the process id, the level word and a message.
enum { LOG_LINE = MSG_SIZE + 64 };

// The text log_hide names, wiped when replaced; HiddenLen 0: none.
static char Hidden[MSG_SIZE];
static size_t HiddenLen = 0;

void log_hide(const char *secret)
{
    explicit_bzero(Hidden, sizeof Hidden);
    HiddenLen = 0;
    if (!secret) return;
    scpy(Hidden, secret, sizeof Hidden);
    HiddenLen = strlen(Hidden);
}

// Whether the hidden text stands at text (len bytes left); with cut, also
// its beginning when the text ends in it. Its length there, else 0.
static size_t hidden_at(const char *text, size_t len, bool cut)
{
    if (HiddenLen == 0 || *text != Hidden[0]) return 0;
    if (len >= HiddenLen) return memcmp(text, Hidden, HiddenLen) == 0 ? HiddenLen : 0;
    return cut && memcmp(text, Hidden, len) == 0 ? len : 0;
}

// Writes text into out (MSG_SIZE bytes) as one line shows it, whatever it
// holds: without the line ends it ends in, the hidden text as "xxxx" (and
// its beginning at the end of a text that may have been cut there), every
// control character (below 0x20, and 0x7f) and backslash as \xNN with two
// lower-case hex digits; cut before what would not fit. So no text can
// forge a line or act on a terminal, an escaped byte reads back
// unambiguously, and a module that echoes a password leaves it out.
static void clean(char *out, const char *text)
{
    static const char hex[] = "0123456789abcdef";
    size_t len = strlen(text), n = 0;
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) len--;
    bool cut = len >= MSG_SIZE - 1;
    for (size_t i = 0; i < len;) {
        if (size_t hidden = hidden_at(text + i, len - i, cut)) {
            if (n + 4 > MSG_SIZE - 1) break;
            memcpy(out + n, "xxxx", 4);
            n += 4;
            i += hidden;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(text[i++]);
        bool plain = c >= 0x20 && c != 0x7f && c != '\\';
        if (n + (plain ? 1 : 4) > MSG_SIZE - 1) break;
        if (plain) {
            out[n++] = static_cast<char>(c);
            continue;
        }
        out[n++] = '\\';
        out[n++] = 'x';
        out[n++] = hex[c >> 4];
        out[n++] = hex[c & 15];
    }
    out[n] = 0;
}

Log *log_init(LogLevel l)
{
    Log *x = static_cast<Log *>(calloc(1, sizeof(Log)));
    if (!x) return nullptr;
    x->Level = l;
    x->Rotations = 4;
    x->Rotate = 1048576;
    return x;
}

// Writes "corvane: TEXT" (cleaned) and a line feed to standard error, when
// it is open, in one write so that it is not interleaved with another
// process's.
static void to_stderr(const char *text)
{
    if (fcntl(STDERR_FILENO, F_GETFD) == -1) return;
    char line[MSG_SIZE + 16] = "corvane: ";
    size_t n = strlen(line);
    clean(line + n, text);
    n += strlen(line + n);
    line[n++] = '\n';
    ssize_t w = write(STDERR_FILENO, line, n);
    (void)w;
}

int log_setup(Log *x, const char *path, const char *file)
{
    if (!x) return 0;
    if (x->To == LOG_TO_FILE && path && access(path, W_OK) != 0) {
        // There is no log to hold this for: standard error is the only place.
        char text[MSG_SIZE], where[MSG_SIZE];
        scpy(where, path, sizeof where);
        attach_path(where, file, sizeof where);
        lprintf(text, sizeof text, "cannot open log %s: %s", where, strerror(errno));
        to_stderr(text);
        return 0;
    }
    log_close(x);
    scpy(x->File, path, sizeof x->File);
    attach_path(x->File, file, sizeof x->File);
    if (!CurrentLog) {
        CurrentLog = x;
        check_emsglog();
    }
    return 1;
}

// The file holds the clients' input lines, passwords included: a file this
// process creates is readable by its owner only, whatever the umask.
// Module programs do not inherit it. A link at its name is not followed: in
// a directory the service's user may write, it could send the lines of a
// process run by root into any file. st receives the file's identity.
static int open_fd(const char *file, struct stat *st)
{
    bool exists = stat(file, st) == 0;
    int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    if (!exists) fchmod(fd, 0600);
    if (fstat(fd, st) != 0) memset(st, 0, sizeof *st);
    return fd;
}

static bool same_file(const Log *x, const struct stat &st)
{
    return x->Dev == static_cast<unsigned long>(st.st_dev) &&
           x->Ino == static_cast<unsigned long>(st.st_ino);
}

// Swaps the open file for a new descriptor fd on the file st describes.
static int take_file(Log *x, int fd, const struct stat &st)
{
    FILE *f = fdopen(fd, "a");
    if (!f) {
        close(fd);
        return 0;
    }
    if (x->F) fclose(x->F);
    x->F = f;
    x->Size = static_cast<size_t>(st.st_size) + x->Held;
    x->Dev = static_cast<unsigned long>(st.st_dev);
    x->Ino = static_cast<unsigned long>(st.st_ino);
    return 1;
}

int log_open(Log *x, const char *file)
{
    if (!x || !file) return 0;
    log_close(x);
    struct stat st;
    int fd = open_fd(file, &st);
    if (fd < 0 || !take_file(x, fd, st)) return 0;
    if (file != x->File) scpy(x->File, file, sizeof x->File);
    if (!CurrentLog) {
        CurrentLog = x;
        check_emsglog();
    }
    return 1;
}

// Opens File again when the name no longer leads to the open file: another
// process rotated it. Lines written meanwhile went to the rotated file.
static void follow(Log *x)
{
    struct stat st;
    if (stat(x->File, &st) == 0 && same_file(x, st)) return;
    int fd = open_fd(x->File, &st);
    if (fd >= 0) take_file(x, fd, st);
}

// Writes the pending lines in one write to the end of the file; Size
// becomes the file's size after it, other processes' lines included.
static void write_pending(Log *x)
{
    if (!x->F || x->Held == 0) return;
    follow(x);
    int fd = fileno(x->F);
    write_all(fd, x->Pending, x->Held);
    x->Held = 0;
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= 0) x->Size = static_cast<size_t>(end);
}

int log_destination(const char *name)
{
    for (int to = LOG_TO_FILE; name && to <= LOG_TO_STDERR; to++)
        if (s_stricmp(name, Destinations[to]) == 0) return to;
    return -1;
}

int log_to(Log *x, const char *name)
{
    int to = log_destination(name);
    if (!x || to < 0) return 0;
    if (x->To == LOG_TO_SYSLOG) closelog();
    if (to != LOG_TO_FILE) log_close(x);
    // LOG_PID: the writing process's own id, taken at every line. Each
    // process connects at its first line (the connection does not survive
    // an exec); a forked child shares its parent's, one datagram per line.
    if (to == LOG_TO_SYSLOG) openlog("corvane", LOG_PID, LOG_AUTHPRIV);
    x->To = to;
    return 1;
}

void log_dorotate(Log *x, int rotations, size_t atsize)
{
    if (!x) return;
    x->Rotations = rotations;
    x->Rotate = atsize;
}

void log_doflush(Log *x, int doflush)
{
    if (x) x->DoFlush = doflush;
}

void log_flush(Log *x)
{
    if (!x) x = CurrentLog;
    if (x) write_pending(x);
}

void log_close(Log *x)
{
    if (!x || !x->F) return;
    write_pending(x);
    fclose(x->F);
    x->F = nullptr;
}

void log_free(Log **x)
{
    if (!x || !*x) return;
    log_close(*x);
    if ((*x)->To == LOG_TO_SYSLOG) closelog();
    if (CurrentLog == *x) CurrentLog = nullptr;
    free((*x)->Pending);
    free(*x);
    *x = nullptr;
}

void log_set(Log *x)
{
    CurrentLog = x;
}

void log_set_level_name(Log *x, const char *l)
{
    if (!x || !l) return;
    for (int i = LogNone; i <= LogDebug; i++)
        if (s_stricmp(l, LevelNames[i]) == 0) {
            x->Level = static_cast<LogLevel>(i);
            return;
        }
}

// The first 20 characters of the asctime text of now in local time, for
// example "Sun Dec  6 20:56:31 ": English names whatever the locale.
static void stamp_now(char *out, size_t size)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm)) memset(&tm, 0, sizeof tm);
    snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d ", days[(tm.tm_wday % 7 + 7) % 7],
             months[(tm.tm_mon % 12 + 12) % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Opens the file at the first line; a file that cannot be opened is said
// once (the lines are lost, and the administrator must know why).
static int ensure_open(Log *x)
{
    if (x->F) return 1;
    if (!x->File[0]) return 0;
    if (log_open(x, x->File)) return 1;
    if (!x->Reported) {
        x->Reported = 1; // first: amsg writes to this very log, which fails again
        amsg("cannot open log %s: %s", x->File, strerror(errno));
    }
    return 0;
}

void log_line(Log *x, const char *line, LogLevel l)
{
    if (!x || !line || l < LogError || l > LogDebug || x->Level < l) return;
    char shown[MSG_SIZE];
    clean(shown, line);
    if (x->To == LOG_TO_SYSLOG) {
        syslog(SyslogLevels[l], "%s", shown);
        x->Lines++;
        return;
    }
    if (x->To == LOG_TO_FILE && !ensure_open(x)) return;
    char stamp[32], text[LOG_LINE];
    stamp_now(stamp, sizeof stamp);
    int n = snprintf(text, sizeof text, "%.20s [%d] %s: %s\n", stamp, static_cast<int>(getpid()),
                     LevelNames[l], shown);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return;
    size_t len = static_cast<size_t>(n);
    if (x->To == LOG_TO_STDERR) { // whole lines, one write each: not torn by another process's
        write_all(STDERR_FILENO, text, len);
        x->Lines++;
        return;
    }
    if (!x->Pending && !(x->Pending = static_cast<char *>(malloc(LOG_PENDING)))) return;
    if (x->Held + len > LOG_PENDING) write_pending(x);
    memcpy(x->Pending + x->Held, text, len);
    x->Held += len;
    x->Size += len;
    if (x->Size >= x->Rotate) {
        log_rotate(x);
    } else if (x->DoFlush && x->Lines % x->DoFlush == 0) {
        write_pending(x);
        if (x->Size >= x->Rotate) log_rotate(x); // other processes filled it
    }
    x->Lines++;
}

// Moves File<i-1> to File<i> from the oldest down, dropping the oldest,
// then File to File0. Missing files are skipped.
static void shift_files(const Log *x)
{
    char older[999], newer[999];
    for (int i = x->Rotations; i >= 1; i--) {
        lprintf(newer, sizeof newer, "%s%d", x->File, i);
        lprintf(older, sizeof older, "%s%d", x->File, i - 1);
        remove(newer);
        rename(older, newer);
    }
    lprintf(older, sizeof older, "%s%d", x->File, 0);
    rename(x->File, older);
}

// Takes the exclusive lock of the file named File on a descriptor of its
// own (a descriptor shared with a forked process would share its lock too).
// Answers the descriptor, holding the lock on the file that is still named
// File once the lock is held, or -1 (the rotation then goes on unlocked).
static int lock_current(const Log *x, struct stat *st)
{
    for (int tries = 0; tries < 100; tries++) {
        int fd = open_fd(x->File, st);
        if (fd < 0) return -1;
        int r;
        while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat named;
        if (r != 0 || (fstat(fd, st) == 0 && stat(x->File, &named) == 0 &&
                       named.st_dev == st->st_dev && named.st_ino == st->st_ino))
            return fd;
        close(fd); // rotated while we waited: lock the new file
    }
    return -1;
}

int log_rotate(Log *x)
{
    if (!x || x->To != LOG_TO_FILE || !x->File[0]) return 0;
    write_pending(x);
    struct stat st;
    int lock = lock_current(x, &st);
    // Another process may have rotated while this one waited for the lock:
    // then the file named File is new and small, and this one only reopens.
    if (lock < 0 || static_cast<size_t>(st.st_size) >= x->Rotate) shift_files(x);
    int r = log_open(x, x->File);
    if (lock >= 0) close(lock);
    return r;
}

// Formats a message into buffer (MSG_SIZE bytes), cut to 999 characters.
static void format_text(char *buffer, const char *format, va_list arg)
{
    if (vsnprintf(buffer, MSG_SIZE, format, arg) == -1) buffer[MSG_SIZE - 1] = 0;
}

static void free_text(void **slot)
{
    free(*slot);
    *slot = nullptr;
}

// Holds text back for the next log, dropping the oldest beyond EMSG_KEEP.
static void hold(const char *text)
{
    if (!EmsgLog && !(EmsgLog = array_init(0))) return;
    char *copy = s_strdup(text);
    if (!copy) return;
    if (array_items(EmsgLog) >= EMSG_KEEP) free(array_remove_num(EmsgLog, 0));
    if (!array_add(EmsgLog, copy)) free(copy);
}

// The three message calls leave errno as they found it: callers log a
// failure first and then report errno's text.
// An error to the current log (held back until one exists), and with
// also_stderr to standard error too.
static void error_message(int also_stderr, const char *format, va_list ap)
{
    int saved = errno;
    char buffer[MSG_SIZE];
    format_text(buffer, format, ap);
    bool on_stderr = false; // the log's line went there already
    if (CurrentLog && CurrentLog->Level != LogNone) {
        log_line(CurrentLog, buffer, LogError);
        on_stderr = CurrentLog->To == LOG_TO_STDERR;
    } else {
        hold(buffer);
    }
    if (also_stderr && !on_stderr) to_stderr(buffer);
    errno = saved;
}

void emsg(const char *format, ...)
{
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    error_message(0, format, ap);
    va_end(ap);
}

void amsg(const char *format, ...)
{
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    error_message(1, format, ap);
    va_end(ap);
}

// Formats and writes an information or debug message to the current log.
static void vmsg(LogLevel l, const char *format, va_list ap)
{
    int saved = errno;
    char buffer[MSG_SIZE];
    format_text(buffer, format, ap);
    log_line(CurrentLog, buffer, l);
    errno = saved;
}

// The level is checked before formatting: most of these calls are filtered out.
void imsg(const char *format, ...)
{
    if (!CurrentLog || !format || CurrentLog->Level <= LogError) return;
    va_list ap;
    va_start(ap, format);
    vmsg(LogInfo, format, ap);
    va_end(ap);
}

void dmsg(const char *format, ...)
{
    if (!CurrentLog || !format || CurrentLog->Level <= LogInfo) return;
    va_list ap;
    va_start(ap, format);
    vmsg(LogDebug, format, ap);
    va_end(ap);
}

void check_emsglog(void)
{
    if (!EmsgLog || !CurrentLog) return;
    // Taken off first, so that nothing written now lands in the list being written.
    Array pending = EmsgLog;
    EmsgLog = nullptr;
    for (char *s = static_cast<char *>(array_get_num(pending, 0)); s;
         s = static_cast<char *>(array_get(pending)))
        log_line(CurrentLog, s, LogError);
    array_free_fn(&pending, free_text);
}

} // namespace adt
