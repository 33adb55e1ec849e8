// Client lines through the whole front end: corvane_main over two scripted
// modules with masks, "!" entries, prefixes, suffixes and a set on check,
// its standard input and output on files in memory. Every line gets one
// reply line (a search's "+DATA " lines before it) until a quit, no line is
// longer than a reply can be, and the output ends with a reply.
#include <cstdint>
#include <cstring>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <algorithm>

#include "corvane.h"
#include "fuzz/fuzz_util.h"

static int in_fd = memfd_create("stdin", 0), out_fd = memfd_create("stdout", 0);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string bin =
        "\nbinary " SCRIPTMOD_BIN " " +
        fuzz::put("s1", "lookup adm\t+OK admin\nlookup\t-ERR no\ncheck\t+OK u f h=/h\n"
                        "set\t+OK set\ndel\t-ERR gone\nsearch\t!data 2 one ;; +OK 2 7\n");
    fuzz::put("corvane.ini", "loglevel debug\ndo_del true\nset_once true\ntimeout 2000\nmodule 1" +
                                 bin + "\nmatch a*,!ab*,!!x*, b?,*\nstrip_prefix dom\\\n" +
                                 "strip_suffix @x\ndo_check move_from\ndo_set move_to\nmodule 2" +
                                 bin +
                                 "\nip_match 10.*, 192.168.?.*\ndo_set existing\nlookup !z*,*\n");
    fflush(stdout);
    fuzz::require(in_fd >= 0 && out_fd >= 0 && dup2(out_fd, 1) == 1, "standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t lines = std::count(input.begin(), input.end(), '\n') + (size && input.back() != '\n');
    fuzz::require(!ftruncate(in_fd, 0) &&
                      pwrite(in_fd, input.data(), input.size(), 0) == (ssize_t)input.size() &&
                      !lseek(in_fd, 0, SEEK_SET) && dup2(in_fd, 0) == 0,
                  "standard input");
    __fpurge(stdin);
    clearerr(stdin);
    std::string path = fuzz::scratch();
    char *argv[] = {(char *)"corvane", (char *)"-path", path.data(), nullptr};
    Mode = MODE_TERMINAL;
    corvane_main(3, argv);
    cleanup();
    fflush(stdout);

    std::string out(lseek(out_fd, 0, SEEK_CUR), 0), last;
    fuzz::require(pread(out_fd, out.data(), out.size(), 0) == (ssize_t)out.size() &&
                      !ftruncate(out_fd, 0) && !lseek(out_fd, 0, SEEK_SET) &&
                      (out.empty() || out.back() == '\n'),
                  "whole lines");
    size_t replies = 0;
    for (size_t at = 0, lf; at < out.size(); at = lf + 1) {
        last = out.substr(at, (lf = out.find('\n', at)) - at);
        fuzz::require(last.size() <= 1004, "a line no longer than a reply");
        replies += !last.starts_with("+DATA ");
    }
    fuzz::require(!last.starts_with("+DATA "), "a search ends with its reply");
    fuzz::require(replies == lines || (last == "+OK bye" && replies <= lines),
                  "one reply a line until a quit");
    return 0;
}
