// Shared by the fuzz targets: a property check and a scratch directory.
#ifndef FUZZ_FUZZ_UTIL_H
#define FUZZ_FUZZ_UTIL_H

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace fuzz
{

// Stops the run naming the broken property; libFuzzer saves the input.
inline void require(bool ok, const char *what)
{
    if (!ok) fprintf(stderr, "fuzz property violated: %s\n", what), abort();
}

// A directory of this process's own, removed at its exit (not at that of a
// child forked from it); never destroyed, as the exit handler needs it.
inline const std::string &scratch()
{
    static const std::string *dir = [] {
        static const pid_t owner = getpid();
        atexit([] { getpid() == owner &&std::filesystem::remove_all(scratch()); });
        auto d = new std::string("/tmp/corvane-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(*d);
        return d;
    }();
    return *dir;
}

// Writes text as the file name in the scratch directory; its path.
inline std::string put(const std::string &name, const std::string &text)
{
    std::string path = scratch() + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    require(f && fwrite(text.data(), 1, text.size(), f) == text.size() && !fclose(f), "write");
    return path;
}

} // namespace fuzz

#endif
