// Shared by the fuzz targets: a private scratch directory, a quiet log,
// and reference models of the library's tokenizers and wildcard matcher,
// written as plainly as possible so that the real code can be checked
// against them.
#ifndef FUZZ_FUZZ_UTIL_H
#define FUZZ_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "adt/log.h"

namespace fuzz
{

// Stops the run with a message that names the broken property; libFuzzer
// then saves the input as a crash.
[[noreturn]] inline void fail(const char *what)
{
    fprintf(stderr, "fuzz property violated: %s\n", what);
    abort();
}

inline void require(bool ok, const char *what)
{
    if (!ok) fail(what);
}

// A scratch directory for this process, on tmpfs when there is one, removed
// at exit.
inline const std::string &scratch()
{
    // Never destroyed: the exit handler that removes it runs after the
    // destructors of statics made later.
    static const std::string *dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string *t = new std::string(std::string(base) + "/corvane-fuzz-XXXXXX");
        if (!mkdtemp(t->data())) fail("mkdtemp");
        // Only by this process: a child forked from it (a module before it
        // runs its program) may end through the exit handlers too.
        static const pid_t owner = getpid();
        atexit([] {
            if (getpid() == owner) std::filesystem::remove_all(scratch());
        });
        return t;
    }();
    return *dir;
}

// Makes a log current: at debug level into the scratch directory, so that
// every message is formatted, rotated at 1 MiB; or, with quiet, at no level.
inline void quiet_log(bool quiet = false)
{
    adt::Log *l = adt::log_init(quiet ? adt::LogNone : adt::LogDebug);
    if (!quiet) {
        adt::log_setup(l, scratch().c_str(), "fuzz.log");
        adt::log_dorotate(l, 1, 1 << 20);
    }
    adt::log_set(l);
}

// Writes text to path, replacing it; false when that fails.
inline bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

inline bool is_in(char c, const std::string &set)
{
    return c && set.find(c) != std::string::npos;
}

// ssplit: the tokens of s split at the bytes of seps, at most sz of them,
// the last keeping the rest; runs of separators count as one with skip.
inline std::vector<std::string> model_ssplit(const std::string &s, const std::string &seps, int sz,
                                             bool skip)
{
    std::vector<std::string> t;
    if (sz < 1) return t;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t sep = pos;
        while (sep < s.size() && !is_in(s[sep], seps)) sep++;
        if (sep == s.size() || (int)t.size() + 1 >= sz) {
            t.push_back(s.substr(pos));
            break;
        }
        t.push_back(s.substr(pos, sep - pos));
        pos = sep + 1;
        if (skip)
            while (pos < s.size() && is_in(s[pos], seps)) pos++;
    }
    return t;
}

inline unsigned char fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// Whole-text wildcard match by dynamic programming: '*' any run, '?' one byte.
inline bool model_wmatch(const std::string &text, const std::string &wild, bool case_sensitive)
{
    size_t n = text.size(), m = wild.size();
    // row[j]: wild[0..i) matches text[0..j)
    std::vector<char> row(n + 1, 0), next(n + 1);
    row[0] = 1;
    for (size_t i = 0; i < m; i++) {
        char w = wild[i];
        next.assign(n + 1, 0);
        if (w == '*') {
            char any = 0;
            for (size_t j = 0; j <= n; j++) {
                any |= row[j];
                next[j] = any;
            }
        } else {
            for (size_t j = 1; j <= n; j++) {
                unsigned char a = w, b = text[j - 1];
                bool same = w == '?' || (case_sensitive ? a == b : fold(a) == fold(b));
                next[j] = row[j - 1] && same;
            }
        }
        row.swap(next);
    }
    return row[n];
}

} // namespace fuzz

#endif
