// The support library: bounded strings, tokenizers, truth words, paths,
// files, signals and sleeping, the bounded formatter, wildcard matching.
#include "adt/lib.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/types.h>
#include <termios.h>
#include <type_traits>
#include <unistd.h>

namespace adt
{

// Only 'A'..'Z' fold (65..90 to 97..122); every other byte maps to itself.
// clang-format off
const unsigned char charmap[256] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
    32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47,
    48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63,
    64, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 91, 92, 93, 94, 95,
    96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127,
    128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
    144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157, 158, 159,
    160, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174, 175,
    176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191,
    192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207,
    208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219, 220, 221, 222, 223,
    224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 239,
    240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255,
};
// clang-format on

// The separator attach_path writes.
static const char Sep = '/';

static inline unsigned char fold_case(char c)
{
    return charmap[static_cast<unsigned char>(c)];
}
static inline bool is_sep(char c)
{
    return c == '/' || c == '\\';
}
static inline bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// --- Bounded copy and allocation ---

int scpy(char *dst, const char *src, int size)
{
    if (!dst || size < 1) return 0;
    if (!src) {
        *dst = 0;
        return 0;
    }
    int n = 0;
    // Byte by byte, so that src may be dst itself.
    while (n < size - 1 && src[n]) {
        dst[n] = src[n];
        n++;
    }
    dst[n] = 0;
    return n;
}

char *smake(const char *src, unsigned int size)
{
    if (!src || size == 0) return nullptr;
    size_t n = strnlen(src, size - 1);
    char *r = static_cast<char *>(malloc(n + 1));
    if (!r) return nullptr;
    memcpy(r, src, n);
    r[n] = 0;
    return r;
}

char *s_strdup(const char *source)
{
    return source ? strdup(source) : nullptr;
}

// --- Comparison ---

int s_stricmp(const char *string1, const char *string2)
{
    if (!string1 || !string2) return -1;
    while (*string1 && *string2 && fold_case(*string1) == fold_case(*string2)) {
        string1++;
        string2++;
    }
    return fold_case(*string1) - fold_case(*string2);
}

int s_strncmp(const char *string1, const char *string2, unsigned int count)
{
    if (!string1 || !string2) return -1;
    return strncmp(string1, string2, count);
}

int s_strnicmp(const char *string1, const char *string2, unsigned int count)
{
    if (!string1 || !string2) return -1;
    for (unsigned int i = 0; i < count; i++) {
        int d = fold_case(string1[i]) - fold_case(string2[i]);
        if (d || !string1[i]) return d;
    }
    return 0;
}

// --- Tokenizers ---

char *s_strtok(char *start, const char *tokens, char **upto)
{
    if (!tokens) return nullptr;
    if (!start && (!upto || !*upto)) return nullptr;
    char *s = start ? start : *upto;
    s += strspn(s, tokens);
    if (!*s) return nullptr;
    char *end = s + strcspn(s, tokens);
    if (*end) {
        *end = 0;
        if (upto) *upto = end + 1;
    } else if (upto) {
        *upto = nullptr;
    }
    return s;
}

int ssplit(char *string, const char *tokens, char **p, int sz, int skip_trail)
{
    if (!string || sz < 1 || !tokens || !p) return 0;
    int n = 0;
    char *s = string;
    while (*s) {
        p[n++] = s;
        char *sep = s + strcspn(s, tokens);
        if (!*sep || n >= sz) break;
        *sep++ = 0;
        if (skip_trail) sep += strspn(sep, tokens);
        s = sep;
    }
    return n;
}

// --- Numbers, lines and truth words ---

char *number(int n)
{
    static char buffer[50];
    lprintf(buffer, 49, "%d", n);
    return buffer;
}

char *strip_eol_r(char *string)
{
    if (!string) return nullptr;
    string[strcspn(string, "\r\n")] = 0;
    return string;
}

int leading_int(const char *text)
{
    if (!text) return 0;
    long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

int number_or(const char *text, int fallback)
{
    if (!text) return fallback;
    char *end;
    long v = strtol(text, &end, 10);
    return end == text || v < INT_MIN || v > INT_MAX ? fallback : static_cast<int>(v);
}

int istrue(const char *string)
{
    if (!string) return 0;
    static const char *const words[] = {"true", "yes", "y", "on", "checked", "selected"};
    for (const char *w : words)
        if (s_stricmp(string, w) == 0) return 1;
    return leading_int(string) != 0;
}

int isfalse(const char *string)
{
    if (!string) return 0;
    static const char *const words[] = {"false", "no", "n", "off"};
    for (const char *w : words)
        if (s_stricmp(string, w) == 0) return 1;
    if (is_digit(string[0]) || (string[0] && is_digit(string[1]))) return leading_int(string) == 0;
    return 0;
}

// --- Paths and files ---

char *attach_path(char *result, const char *file, unsigned int bfsz)
{
    if (!result || bfsz == 0) return nullptr;
    unsigned int n = 0;
    for (; n < bfsz - 1 && result[n]; n++)
        if (is_sep(result[n])) result[n] = Sep;
    if (file) {
        if (is_sep(*file)) {
            if (n > 0 && is_sep(result[n - 1])) file++;
        } else if (n > 0 && !is_sep(result[n - 1]) && n < bfsz - 1) {
            result[n++] = Sep;
        }
        for (; *file && n < bfsz - 1; file++) result[n++] = is_sep(*file) ? Sep : *file;
    }
    result[n] = 0;
    return n ? result : nullptr;
}

char *attach_ext(char *result, const char *ext, unsigned int bfsz)
{
    if (!result || bfsz == 0) return nullptr;
    unsigned int n = strnlen(result, bfsz - 1);
    if (ext)
        for (; *ext && n < bfsz - 1; ext++) result[n++] = *ext;
    result[n] = 0;
    return result;
}

char *exename(char *buffer, const char *arg0, unsigned int bfsz)
{
    if (!buffer || !arg0 || bfsz == 0) return nullptr;
    const char *name = arg0;
    for (const char *s = arg0; *s; s++)
        if (is_sep(*s)) name = s + 1;
    size_t len = strcspn(name, ".");
    if (len > bfsz - 1) len = bfsz - 1;
    memcpy(buffer, name, len);
    buffer[len] = 0;
    return buffer;
}

char *currentdir(char *buffer, unsigned int bfsz)
{
    if (!buffer) return nullptr;
    return getcwd(buffer, bfsz);
}

FILE *s_fopen(const char *filename, const char *mode)
{
    if (!filename || !mode) return nullptr;
    return fopen(filename, mode);
}

void s_fclose(FILE **f)
{
    if (!f || !*f) return;
    fclose(*f);
    *f = nullptr;
}

int write_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 0;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return 1;
}

int read_secret(int fd, const char *prompt, char *bf, int bfsz)
{
    if (!bf || bfsz < 1) return 0;
    termios was;
    bool terminal = tcgetattr(fd, &was) == 0;
    if (terminal) {
        termios quiet = was;
        quiet.c_lflag = (quiet.c_lflag & ~ECHO) | ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
        if (prompt) write_all(2, prompt, strlen(prompt));
    }
    int n = 0, got = 0;
    bool too_long = false;
    for (char c; (got = static_cast<int>(read(fd, &c, 1))) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || c == '\n') break;
        if (n < bfsz - 1)
            bf[n++] = c;
        else
            too_long = true;
    }
    if (terminal) tcsetattr(fd, TCSAFLUSH, &was);
    if (n > 0 && bf[n - 1] == '\r' && !too_long) n--;
    explicit_bzero(bf + n, static_cast<size_t>(bfsz - n));
    if (too_long || got < 0 || (got == 0 && n == 0)) {
        explicit_bzero(bf, static_cast<size_t>(bfsz));
        return too_long ? -1 : 0;
    }
    return 1;
}

// --- Signals and sleeping ---

void sig_init(void (*fn)(int))
{
    if (fn) {
        static const int fatal[] = {SIGTERM, SIGFPE,  SIGABRT, SIGILL, SIGSEGV,
                                    SIGINT,  SIGTRAP, SIGBUS,  SIGQUIT};
        for (int s : fatal) signal(s, fn);
    }
    static const int ignored[] = {SIGABRT, SIGVTALRM, SIGPROF, SIGPIPE, SIGHUP};
    for (int s : ignored) signal(s, SIG_IGN);
}

void my_msleep(int a)
{
    if (a <= 0) return;
    struct timespec ts;
    ts.tv_sec = a / 1000;
    ts.tv_nsec = static_cast<long>(a % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

// --- Bounded formatter ---

// Longest conversion text handed to the platform's formatter.
enum { CONV_MAX = 29 };

// Length modifier of a conversion text: 'H' for "hh", 'L' for "ll" or
// "L" or "q", else the modifier letter itself or 0.
static char length_modifier(const char *conv)
{
    char m = 0;
    for (const char *s = conv + 1; *s; s++) {
        switch (*s) {
        case 'h':
            m = m == 'h' ? 'H' : 'h';
            break;
        case 'l':
            m = m == 'l' ? 'L' : 'l';
            break;
        case 'L':
        case 'q':
            m = 'L';
            break;
        case 'j':
        case 'z':
        case 't':
            m = *s;
            break;
        }
    }
    return m;
}

// The platform's formatter writes straight into out: at most space-1
// characters and a terminator, exactly what a complete conversion cut by
// scpy would leave. The count stops at a NUL the conversion produced.
template <typename T>
static int convert(char *out, int space, const char *conv, int width, int precision, int params,
                   T value)
{
    if (!out || space < 1) return 0;
    int r;
    switch (params & 3) {
    case 0:
        r = snprintf(out, space, conv, value);
        break;
    case 1:
        r = snprintf(out, space, conv, width, value);
        break;
    case 2:
        r = snprintf(out, space, conv, precision, value);
        break;
    default:
        r = snprintf(out, space, conv, width, precision, value);
        break;
    }
    if (r < 0) {
        *out = 0;
        return 0;
    }
    return static_cast<int>(strnlen(out, space - 1));
}

// The conversion text with its last letter replaced, for the upper-case
// letters that take narrow values here but wide ones in the platform's formatter.
static const char *narrow_int(const char *conv, char letter, char *copy)
{
    size_t n = strlen(conv);
    memcpy(copy, conv, n + 1);
    copy[n - 1] = letter;
    return copy;
}

// One integer argument of the signed type S or its unsigned partner U.
template <typename S, typename U>
static int int_arg(va_list *arg, bool is_signed, char *out, int space, const char *conv, int width,
                   int precision, int params)
{
    if (is_signed) return convert(out, space, conv, width, precision, params, va_arg(*arg, S));
    return convert(out, space, conv, width, precision, params, va_arg(*arg, U));
}

int vsn_int(va_list *arg, char *out, int space, const char *conv, int width, int precision,
            int params)
{
    if (!arg || !conv || !*conv) return 0;
    size_t n = strlen(conv);
    if (n > CONV_MAX) return 0;
    char letter = conv[n - 1];
    char copy[CONV_MAX + 1];
    if (letter == 'C') conv = narrow_int(conv, 'c', copy);
    bool is_signed = letter == 'd' || letter == 'i';
    // A character and the h and hh sizes arrive promoted to int.
    char m = letter == 'c' || letter == 'C' ? 0 : length_modifier(conv);
    switch (m) {
    case 'l':
        return int_arg<long, unsigned long>(arg, is_signed, out, space, conv, width, precision,
                                            params);
    case 'L':
        return int_arg<long long, unsigned long long>(arg, is_signed, out, space, conv, width,
                                                      precision, params);
    case 'j':
        return int_arg<intmax_t, uintmax_t>(arg, is_signed, out, space, conv, width, precision,
                                            params);
    case 'z':
        return int_arg<ssize_t, size_t>(arg, is_signed, out, space, conv, width, precision, params);
    case 't':
        return int_arg<ptrdiff_t, std::make_unsigned_t<ptrdiff_t>>(arg, is_signed, out, space, conv,
                                                                   width, precision, params);
    default:
        return int_arg<int, unsigned int>(arg, is_signed, out, space, conv, width, precision,
                                          params);
    }
}

int vsn_double(va_list *arg, char *out, int space, const char *conv, int width, int precision,
               int params)
{
    if (!arg || !conv || !*conv) return 0;
    if (length_modifier(conv) == 'L') {
        long double v = va_arg(*arg, long double);
        return convert(out, space, conv, width, precision, params, v);
    }
    double v = va_arg(*arg, double);
    return convert(out, space, conv, width, precision, params, v);
}

int vsn_string(va_list *arg, char *out, int space, const char *conv, int width, int precision,
               int params)
{
    if (!arg || !conv || !*conv) return 0;
    const char *v = va_arg(*arg, const char *);
    if (!v) return scpy(out, "(NULL)", space);
    // A plain "%s" is a bounded copy: no need for the platform's formatter,
    // which costs several hundred instructions a call (every request line
    // to a module goes through here).
    if (conv[1] == 's' && conv[2] == 0) return scpy(out, v, space);
    char copy[CONV_MAX + 1];
    size_t n = strlen(conv);
    if (n > CONV_MAX) return 0;
    if (conv[n - 1] == 'S') conv = narrow_int(conv, 's', copy);
    return convert(out, space, conv, width, precision, params, v);
}

int vsn_void(va_list *arg, char *out, int space, const char *conv, int width, int precision,
             int params)
{
    if (!arg || !conv || !*conv) return 0;
    void *v = va_arg(*arg, void *);
    return convert(out, space, conv, width, precision, params, v);
}

typedef int (*VsnFn)(va_list *, char *, int, const char *, int, int, int);

// The routine for a conversion letter; null for %n and for letters outside
// the format language (those produce nothing and take no argument).
static VsnFn vsn_for(char letter)
{
    switch (letter) {
    case 'c':
    case 'C':
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return vsn_int;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
        return vsn_double;
    case 's':
    case 'S':
        return vsn_string;
    case 'p':
        return vsn_void;
    default:
        return nullptr;
    }
}

static bool is_flag(char c)
{
    return c == '-' || c == '+' || c == '0' || c == ' ' || c == '#' || c == '.';
}

static bool is_modifier(char c)
{
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}

int vsnprintf(char *buffer, unsigned int bfsz, const char *format, va_list arg)
{
    if (!buffer || !format) return 0;
    va_list ap;
    va_copy(ap, arg);
    unsigned int upto = 0;
    const char *f = format;
    while (*f && upto < bfsz) {
        if (*f != '%') {
            buffer[upto++] = *f++;
            continue;
        }
        if (f[1] == '%') {
            buffer[upto++] = '%';
            f += 2;
            continue;
        }
        char conv[CONV_MAX + 1] = "%";
        int len = 1, width = -1, precision = -1, params = 0;
        f++;
        bool done = false;
        while (*f && !done) {
            if (len >= CONV_MAX) break; // too long: treated as an unfinished conversion
            char c = *f++;
            conv[len++] = c;
            conv[len] = 0;
            if (is_flag(c) || is_modifier(c)) continue;
            if (c == '*' || (c >= '1' && c <= '9')) {
                bool is_precision = conv[len - 2] == '.';
                int value;
                if (c == '*') {
                    value = va_arg(ap, int);
                    // A negative star value goes to the platform's formatter
                    // too, so that the star never reads an argument of its own.
                    params |= is_precision ? 2 : 1;
                } else {
                    value = c - '0';
                    while (is_digit(*f) && len < CONV_MAX) {
                        value = value * 10 + (*f - '0');
                        conv[len++] = *f++;
                    }
                    conv[len] = 0;
                }
                (is_precision ? precision : width) = value;
                continue;
            }
            done = true;
            if (c == 'n') {
                // Only a plain %n stores; with a length modifier it stores nothing.
                int *where = static_cast<int *>(va_arg(ap, void *));
                if (len == 2 && where) *where = static_cast<int>(upto);
                continue;
            }
            VsnFn fn = vsn_for(c);
            if (fn) upto += fn(&ap, buffer + upto, bfsz - upto, conv, width, precision, params);
        }
        if (!done) break;
    }
    va_end(ap);
    if (upto < bfsz) {
        buffer[upto] = 0;
        return static_cast<int>(upto);
    }
    return -1;
}

int lprintf(char *bf, int bfsz, const char *format, ...)
{
    if (!bf || !format || bfsz < 1) return 0;
    va_list ap;
    va_start(ap, format);
    int r = vsnprintf(bf, static_cast<unsigned int>(bfsz), format, ap);
    va_end(ap);
    if (r == -1) {
        bf[bfsz - 1] = 0;
        return bfsz - 1;
    }
    return r;
}

// --- Wildcard matching ---

// Matches the tn bytes of text against the wn bytes of wild. Greedy with
// one resume point: when a later byte fails, only the last '*' passed takes
// one more byte, since an earlier '*' could not make the rest match any
// better. Time is at most the product of the lengths, however many stars.
static int wmatch_n(const char *text, size_t tn, const char *wild, size_t wn, int case_sensitive)
{
    size_t t = 0, w = 0;
    size_t star_w = 0, star_t = 0;
    bool have_star = false;
    while (t < tn) {
        if (w < wn && wild[w] == '*') {
            while (w < wn && wild[w] == '*') w++;
            if (w == wn) return 1;
            have_star = true;
            star_w = w;
            star_t = t;
            continue;
        }
        if (w < wn &&
            (wild[w] == '?' ||
             (case_sensitive ? wild[w] == text[t] : fold_case(wild[w]) == fold_case(text[t])))) {
            w++;
            t++;
            continue;
        }
        if (!have_star) return 0;
        w = star_w;
        t = ++star_t;
    }
    while (w < wn && wild[w] == '*') w++;
    return w == wn;
}

int wmatch(const char *text, const char *wild, int case_sensitive)
{
    if (!text || !wild) return 0;
    return wmatch_n(text, strlen(text), wild, strlen(wild), case_sensitive);
}

int wild_match(const char *text, const char *wild)
{
    if (!text || !wild) return 0;
    if (wild[0] == '*' && wild[1] == 0) return 1;
    return wmatch(text, wild, 1);
}

int wild_list(const char *list, const char *wilds)
{
    if (!list || !wilds) return 0;
    static const char seps[] = " \t,";
    for (const char *item = list + strspn(list, seps); *item;) {
        size_t in = strcspn(item, seps);
        for (const char *w = wilds + strspn(wilds, seps); *w;) {
            size_t wn = strcspn(w, seps);
            if (wmatch_n(item, in, w, wn, 1)) return 1;
            w += wn;
            w += strspn(w, seps);
        }
        item += in;
        item += strspn(item, seps);
    }
    return 0;
}

} // namespace adt
