// The support library: bounded strings, tokenizers, truth words, paths,
// files and descriptors, signals and sleeping, the bounded formatter, wildcard matching.
//
// Every function tolerates null pointers and answers with a neutral result
// (null, 0 or -1) unless its comment says otherwise. Every function that
// writes into a caller's buffer takes its capacity in bytes, terminator
// included, and cuts rather than fails. Tokenizers work in place.
#ifndef ADT_LIB_H
#define ADT_LIB_H

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace adt
{

// Case folding table: only 'A'..'Z' fold, to 'a'..'z'.
extern const unsigned char charmap[256];

// --- Bounded copy and allocation ---

// Copies at most size-1 bytes of src into dst and terminates it; returns the
// length copied. A null src empties dst; a null dst or size < 1 writes nothing.
int scpy(char *dst, const char *src, int size);
// New heap text holding at most size-1 bytes of src; null for null src or
// size 0. The caller frees it with free().
char *smake(const char *src, unsigned int size);
// New heap copy of source, or null; the caller frees it with free().
char *s_strdup(const char *source);

// --- Comparison: -1 when either text is null, so null never equals ---

// Compares ignoring ASCII letter case; 0 when equal.
int s_stricmp(const char *string1, const char *string2);
// Compares at most count bytes exactly; 0 when equal.
int s_strncmp(const char *string1, const char *string2, unsigned int count);
// Compares at most count bytes ignoring ASCII letter case; 0 when equal.
int s_strnicmp(const char *string1, const char *string2, unsigned int count);

// --- Tokenizers ---

// Next token of start (or, when start is null, of the position in *upto),
// separated by the bytes of tokens. The one separator after the token is
// overwritten with a terminator; *upto moves past it (null at the end).
// With tokens "" the whole remainder is returned unchanged.
char *s_strtok(char *start, const char *tokens, char **upto);
// Splits string in place at the bytes of tokens into at most sz tokens
// stored in p; the last keeps the rest. Leading separators are not skipped;
// with skip_trail runs of separators count as one. Returns the count.
// tokens and p must not be null.
int ssplit(char *string, const char *tokens, char **p, int sz, int skip_trail);

// --- Numbers, lines and truth words ---

// Decimal text of n in a private buffer, overwritten by the next call.
char *number(int n);
// The leading decimal integer of text as the standard conversion reads it
// (blanks and a sign may come first), held to the range of an int; 0 when
// there is none. How the configuration's numbers are read.
int leading_int(const char *text);
// The leading decimal integer of text, or fallback when there is none or
// it does not fit an int.
int number_or(const char *text, int fallback);
// Cuts string at its first CR or LF; returns string (must not be null).
char *strip_eol_r(char *string);
// 1 for "true", "yes", "y", "on", "checked", "selected" (any case) or a
// non-zero leading integer; else 0.
int istrue(const char *string);
// 1 for "false", "no", "n", "off" (any case), or, when the first or second
// byte is a digit, a leading integer of zero; else 0. Not istrue's complement.
int isfalse(const char *string);

// --- Paths and files ---

// The size of every buffer that holds a path, a directory or a program
// name, terminator included.
inline constexpr int PATH_BUF = 1000;

// Appends file to the directory in result with one '/' between them, all
// backslashes written as '/'; null when result is null, bfsz 0 or the
// result is empty.
char *attach_path(char *result, const char *file, unsigned int bfsz);
// Appends ext (with its dot) to result within bfsz; a null ext appends nothing.
char *attach_ext(char *result, const char *ext, unsigned int bfsz);
// The program's bare name: arg0 after its last '/' or '\', up to its first '.'.
char *exename(char *buffer, const char *arg0, unsigned int bfsz);
// The current working directory into buffer, or null when it fails.
char *currentdir(char *buffer, unsigned int bfsz);
// fopen, null for a null name or mode.
FILE *s_fopen(const char *filename, const char *mode);
// Closes *f and sets it to null.
void s_fclose(FILE **f);
// Writes all len bytes of buf to fd, going on after short writes and
// interrupted calls; 1 when all were written, 0 when a write failed.
int write_all(int fd, const void *buf, size_t len);
// Reads a secret, one line of descriptor fd, into bf (bfsz bytes) without
// its line feed and a carriage return before it. When fd is a terminal,
// prompt is written to standard error first and the line is not echoed
// (its line feed is). fd is read a byte at a time, so what follows the
// line stays unread. 1 for a line (a last line without its line feed is
// one); 0 at the end of input or on a read error; -1 for a line longer
// than bfsz - 1 bytes, which is read to its end and dropped. bf is wiped
// of everything but the line; the caller wipes the line.
int read_secret(int fd, const char *prompt, char *bf, int bfsz);
// A descriptor owned: closed when it is replaced and when its owner ends;
// a move hands it on. Corvane, the modules and the adapters own their
// descriptors through it.
class Fd
{
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// --- Signals and sleeping ---

// Installs fn (when not null) for the fatal signals, then ignores SIGABRT,
// SIGVTALRM, SIGPROF, SIGPIPE and SIGHUP.
void sig_init(void (*fn)(int));
// Sleeps a milliseconds with one nanosleep; <= 0 returns at once.
void my_msleep(int a);

// --- Bounded formatter ---
// Hands each conversion to the platform's formatter and copies the result,
// cut so that a terminator still fits. Returns the length written, or -1
// when ordinary text reached bfsz bytes: the buffer is then full and NOT
// terminated. 0 without writing for a null buffer or format.
// Conversions: c C d i o u x X take an int (with l, ll, j, z or t the wider
// integer), e E f g G a double (with L a long double), s S a text, p a
// pointer, a plain n stores the count so far. Any other letter produces
// nothing and takes no argument; a conversion text over 29 characters ends
// the formatting. A '*' value, even a negative one, goes to the platform's
// formatter with its standard meaning.
int vsnprintf(char *buffer, unsigned int bfsz, const char *format, va_list arg);
// As vsnprintf, but always terminates: on -1 it cuts at bfsz-1 and returns that.
// 0 without writing for a null buffer or format or a bfsz below 1.
int lprintf(char *bf, int bfsz, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Conversion routines of the formatter: each takes its value from *arg,
// formats conv (with width and precision first when their bit of params,
// 1 and 2, is set) and copies at most space-1 characters to out.
// They return the number of characters copied.
int vsn_int(va_list *arg, char *out, int space, const char *conv, int width, int precision,
            int params);
int vsn_double(va_list *arg, char *out, int space, const char *conv, int width, int precision,
               int params);
// A null text gives "(NULL)", without width or precision.
int vsn_string(va_list *arg, char *out, int space, const char *conv, int width, int precision,
               int params);
int vsn_void(va_list *arg, char *out, int space, const char *conv, int width, int precision,
             int params);

// --- Wildcard matching: '*' any run, '?' one byte, whole text ---

// 1 when wild matches all of text; case-insensitive (ASCII) when
// case_sensitive is 0. 0 for null arguments. Allocates nothing; time is at
// most the product of the two lengths, however many stars.
int wmatch(const char *text, const char *wild, int case_sensitive);
// Case-sensitive wmatch; "*" matches everything at once.
int wild_match(const char *text, const char *wild);
// 1 when some item of list matches some pattern of wilds; items are
// separated by blanks, tabs and commas.
int wild_list(const char *list, const char *wilds);

} // namespace adt

#endif
