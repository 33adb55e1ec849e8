// Log: one levelled log file with size-based rotation, and the message calls.
#include "adt/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "adt/array.h"
#include "adt/lib.h"

namespace adt
{

// The level words of the lines and the accepted level names, by level.
static const char *const LevelNames[4] = {"None", "Error", "Info", "Debug"};

// The log that emsg, imsg and dmsg write to.
static Log *CurrentLog = nullptr;
// Error texts (owned) raised while no log could take them.
static Array EmsgLog = nullptr;

// Most error texts held back; beyond it the oldest are dropped, so a run
// whose log stays at level None keeps bounded memory.
enum { EMSG_KEEP = 1000 };

// A message keeps at most 999 characters.
enum { MSG_SIZE = 1000 };

Log *log_init(LogLevel l)
{
    Log *x = static_cast<Log *>(calloc(1, sizeof(Log)));
    if (!x) return nullptr;
    x->Level = l;
    x->Rotations = 4;
    x->Rotate = 1048576;
    return x;
}

int log_setup(Log *x, const char *path, const char *file)
{
    if (!x) return 0;
    if (path && access(path, W_OK) != 0) return 0;
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
// Module programs do not inherit it.
static FILE *_open_append(const char *file, bool exists)
{
    int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (!exists) fchmod(fd, 0600);
    FILE *f = fdopen(fd, "a");
    if (!f) close(fd);
    return f;
}

int log_open(Log *x, const char *file)
{
    if (!x || !file) return 0;
    log_close(x);
    struct stat st;
    bool exists = stat(file, &st) == 0;
    x->Size = exists ? static_cast<size_t>(st.st_size) : 0;
    x->F = _open_append(file, exists);
    if (!x->F) return 0;
    scpy(x->File, file, sizeof x->File);
    if (!CurrentLog) {
        CurrentLog = x;
        check_emsglog();
    }
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
    if (x && x->F) fflush(x->F);
}

void log_close(Log *x)
{
    if (!x || !x->F) return;
    fclose(x->F);
    x->F = nullptr;
}

void log_free(Log **x)
{
    if (!x || !*x) return;
    log_close(*x);
    if (CurrentLog == *x) CurrentLog = nullptr;
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
static void _stamp(char *out, size_t size)
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

void log_line(Log *x, const char *line, LogLevel l)
{
    if (!x || !line || l < LogError || l > LogDebug || x->Level < l) return;
    if (!x->F && (!x->File[0] || !log_open(x, x->File))) return;
    char stamp[32];
    _stamp(stamp, sizeof stamp);
    int n = fprintf(x->F, "%.20s [%d] %s: %s\n", stamp, static_cast<int>(getpid()), LevelNames[l],
                    line);
    if (n > 0) x->Size += static_cast<size_t>(n);
    if (x->Size >= x->Rotate)
        log_rotate(x);
    else if (x->DoFlush && x->Lines % x->DoFlush == 0)
        fflush(x->F);
    x->Lines++;
}

int log_rotate(Log *x)
{
    if (!x || !x->File[0]) return 0;
    char temp[1000];
    lprintf(temp, sizeof temp, "%s.%05d%05d", x->File, rand() % 100000, rand() % 100000);
    log_close(x);
    rename(x->File, temp);
    int r = log_open(x, x->File);
    char older[999], newer[999];
    for (int i = x->Rotations; i >= 1; i--) {
        lprintf(newer, sizeof newer, "%s%d", x->File, i);
        lprintf(older, sizeof older, "%s%d", x->File, i - 1);
        remove(newer);
        rename(older, newer);
    }
    lprintf(older, sizeof older, "%s%d", x->File, 0);
    rename(temp, older);
    return r;
}

// Formats a message into buffer (MSG_SIZE bytes), cut to 999 characters.
static void _format(char *buffer, const char *format, va_list arg)
{
    if (vsnprintf(buffer, MSG_SIZE, format, arg) == -1) buffer[MSG_SIZE - 1] = 0;
}

static void _free_text(void **slot)
{
    free(*slot);
    *slot = nullptr;
}

// Holds text back for the next log, dropping the oldest beyond EMSG_KEEP.
static void _hold(const char *text)
{
    if (!EmsgLog && !(EmsgLog = array_init(0))) return;
    char *copy = s_strdup(text);
    if (!copy) return;
    if (array_items(EmsgLog) >= EMSG_KEEP) {
        // The array has no removal of its own; shift its slots directly.
        free(EmsgLog->data[0]);
        memmove(EmsgLog->data, EmsgLog->data + 1,
                static_cast<size_t>(EmsgLog->items - 1) * sizeof(void *));
        EmsgLog->data[--EmsgLog->items] = nullptr;
        EmsgLog->current = -1;
    }
    if (!array_add(EmsgLog, copy)) free(copy);
}

// The three message calls leave errno as they found it: callers log a
// failure first and then report errno's text.
void emsg(const char *format, ...)
{
    if (!format) return;
    int saved = errno;
    char buffer[MSG_SIZE];
    va_list ap;
    va_start(ap, format);
    _format(buffer, format, ap);
    va_end(ap);
    if (CurrentLog && CurrentLog->Level != LogNone)
        log_line(CurrentLog, buffer, LogError);
    else
        _hold(buffer);
    errno = saved;
}

void amsg(const char *format, ...)
{
    if (!format) return;
    int saved = errno;
    char buffer[MSG_SIZE];
    va_list ap;
    va_start(ap, format);
    _format(buffer, format, ap);
    va_end(ap);
    emsg("%s", buffer);
    if (fcntl(STDERR_FILENO, F_GETFD) != -1) {
        // One write, so that the line is not interleaved with another process's.
        char line[MSG_SIZE + 16] = "corvane: ";
        size_t n = strlen(line), len = strlen(buffer);
        memcpy(line + n, buffer, len);
        line[n + len] = '\n';
        ssize_t w = write(STDERR_FILENO, line, n + len + 1);
        (void)w;
    }
    errno = saved;
}

// Formats and writes an information or debug message to the current log.
static void _vmsg(LogLevel l, const char *format, va_list ap)
{
    int saved = errno;
    char buffer[MSG_SIZE];
    _format(buffer, format, ap);
    log_line(CurrentLog, buffer, l);
    errno = saved;
}

// The level is checked before formatting: most of these calls are filtered out.
void imsg(const char *format, ...)
{
    if (!CurrentLog || !format || CurrentLog->Level <= LogError) return;
    va_list ap;
    va_start(ap, format);
    _vmsg(LogInfo, format, ap);
    va_end(ap);
}

void dmsg(const char *format, ...)
{
    if (!CurrentLog || !format || CurrentLog->Level <= LogInfo) return;
    va_list ap;
    va_start(ap, format);
    _vmsg(LogDebug, format, ap);
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
    array_free_fn(&pending, _free_text);
}

} // namespace adt
