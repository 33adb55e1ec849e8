// The password-file module on arbitrary files and requests: the bytes
// become the user file and a stream of request lines, and the module's
// program runs over them in this process (its main renamed by the build)
// with standard input and output on files. Requests that would hash a
// password (check, and set with a password) are left out: hashing costs
// are the store's business and only slow the search down. Every request
// must be answered by exactly one line (a search by its "+DATA " lines and
// one final line), no reply may be longer than the channel reads, and no
// descriptor may be left open.
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_util.h"

int corvane_file_main(int argc, char **argv);

namespace
{

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

std::string first_word(const std::string &line)
{
    std::string l = line.substr(0, strnlen(line.c_str(), line.size()));
    if (!l.empty() && l.back() == '\r') l.pop_back();
    return l.substr(0, l.find(' '));
}

// The request line, or empty when it is left out.
bool wanted(const std::string &line)
{
    std::string w = first_word(line);
    if (w == "check" || w == "quit") return false;
    if (w != "set") return true;
    // "set name (NULL) extra" changes only the extra text.
    std::string l = line.substr(0, strnlen(line.c_str(), line.size()));
    size_t a = l.find(' '), b = a == std::string::npos ? a : l.find(' ', a + 1);
    return b != std::string::npos && l.compare(b + 1, 6, "(NULL)") == 0 &&
           (l.size() == b + 7 || l[b + 7] == ' ' || l[b + 7] == '\r');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::string &dir = fuzz::scratch();
    std::string users = dir + "/users", requests = dir + "/requests", replies = dir + "/replies";
    bool readonly = in.ConsumeBool();
    std::string file = in.ConsumeRandomLengthString(20000);
    std::string stream = in.ConsumeRemainingBytesAsString();

    std::string req;
    size_t asked = 0;
    for (size_t at = 0; at < stream.size();) {
        size_t lf = stream.find('\n', at);
        if (lf == std::string::npos) lf = stream.size();
        std::string line = stream.substr(at, lf - at);
        at = lf + 1;
        if (!wanted(line)) continue;
        req += line + "\n";
        asked++;
    }
    req += "search *\n";
    asked++;
    if (!fuzz::write_file(users, file) || !fuzz::write_file(requests, req)) fuzz::fail("write");
    unlink((users + ".lock").c_str());

    int before = open_descriptors();
    fflush(stdout);
    int saved_in = dup(0), saved_out = dup(1);
    int rin = open(requests.c_str(), O_RDONLY);
    int rout = open(replies.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(rin, 0);
    dup2(rout, 1);
    close(rin);
    close(rout);
    std::vector<std::string> args = {"corvane-file", "-file", users, "-busy", "0"};
    if (readonly) args.push_back("-readonly");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = corvane_file_main((int)args.size(), argv.data());
    fflush(stdout);
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    fuzz::require(status == 0, "the module exits with status 0");
    fuzz::require(open_descriptors() == before, "the module closes what it opened");

    FILE *f = fopen(replies.c_str(), "rb");
    size_t finals = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) > 0) {
        fuzz::require(line[len - 1] == '\n', "replies end with a line feed");
        fuzz::require(len - 1 <= 997, "a reply fits the channel");
        if (strncmp(line, "+DATA ", 6) != 0) finals++;
    }
    free(line);
    fclose(f);
    fuzz::require(finals == asked, "one reply line per request");
    return 0;
}
