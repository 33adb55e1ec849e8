// The password-file module on any file and requests of any words, its own
// main run in this process with standard input and output on files. Every
// request gets one reply line (a search: its "+DATA " lines and one final
// line), no reply is longer than the channel reads, the exit status is 0 and
// no descriptor is left open.
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "modules/corvane-file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    bool readonly = in.ConsumeBool();
    std::string users = fuzz::put("users", in.ConsumeRandomLengthString(20000)),
                replies = users + ".out";
    std::string req;
    size_t asked = 1;
    for (; in.remaining_bytes() > 0; asked++) {
        static const char *const verbs[] = {"lookup ", "del ", "search ", "set ", "frob "};
        int verb = in.ConsumeIntegralInRange(0, 4);
        std::string words = in.ConsumeRandomLengthString(300);
        std::erase(words, '\n');
        // A set only with "(NULL)": hashing costs are the store's, and slow the search.
        req += verbs[verb] + (verb == 3 ? words.substr(0, words.find(' ')) + " (NULL) " : "") +
               words + "\n";
    }
    std::string requests = fuzz::put("requests", req + "search *\n");
    unlink((users + ".lock").c_str());
    chmod(users.c_str(), 0600); // a store others may read is warned about on every start

    auto descriptors = [] {
        auto it = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(it, std::filesystem::directory_iterator());
    };
    long before = descriptors();
    fflush(stdout);
    int saved_in = dup(0), saved_out = dup(1);
    int rin = open(requests.c_str(), O_RDONLY),
        rout = open(replies.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(rin, 0), dup2(rout, 1), close(rin), close(rout);
    std::vector<std::string> args = {"corvane-file", "-file", users,
                                     "-busy",        "0",     readonly ? "-readonly" : "-rehash"};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = corvane_file_main((int)args.size(), argv.data());
    fflush(stdout);
    dup2(saved_in, 0), dup2(saved_out, 1), close(saved_in), close(saved_out);
    fuzz::require(status == 0 && descriptors() == before, "exit status 0, no descriptor left open");

    FILE *f = fopen(replies.c_str(), "rb");
    char *line = nullptr;
    size_t cap = 0, finals = 0;
    for (ssize_t len; (len = getline(&line, &cap, f)) > 0;
         finals += strncmp(line, "+DATA ", 6) != 0)
        fuzz::require(line[len - 1] == '\n' && len - 1 <= 997,
                      "replies are lines that fit the channel");
    free(line);
    fclose(f);
    fuzz::require(finals == asked, "one reply line per request");
    return 0;
}
