// The channel's line reader on any output of a module: the bytes reach a
// pipe in pieces of any size and are read with result buffers of any size.
// The lines handed out are those of a model that knows nothing of the cuts:
// the text up to each line feed (a carriage return before it removed) while
// a line fits the 998 bytes the channel holds and no NUL comes first. A line
// too long for the result is refused (EMSGSIZE) and ends the reading: the
// channel is out of step from then on.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

#include "adt/log.h"
#include "adt/spawn.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (adt::log_set(adt::log_init(adt::LogNone)), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    std::vector<size_t> cuts(in.ConsumeIntegralInRange(0, 30));
    for (size_t &c : cuts) c = in.ConsumeIntegralInRange<size_t>(1, 1200);
    std::string s = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 60000));
    std::vector<std::pair<std::string, size_t>> lines; // text, offset past its line feed
    for (size_t at = 0, lf;
         (lf = s.find('\n', at)) != std::string::npos && s.find('\0', at) > lf && lf - at <= 997;
         at = lf + 1)
        lines.push_back({s.substr(at, lf - at - (lf > at && s[lf - 1] == '\r')), lf + 1});
    int p[2];
    fuzz::require(pipe(p) == 0, "pipe");
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    adt::pSpawn x = adt::spawn_init(-1, -1);
    x->out = p[0];
    size_t fed = 0, next = 0;
    bool refused = false;
    auto take = [&](const std::string &want) {
        int bfsz = in.ConsumeIntegralInRange(1, 1000);
        std::vector<char> r(bfsz);
        errno = 0;
        int n = refused ? -1 : adt::spawn_gets(x, r.data(), bfsz, nullptr, 1000);
        if (!refused && (int)want.size() >= bfsz) {
            fuzz::require(n == -1 && errno == EMSGSIZE, "a line too long for its result refused");
            refused = true;
        }
        fuzz::require(refused ||
                          (n == (int)want.size() && !memcmp(r.data(), want.data(), n) && !r[n]),
                      "the line of the model");
    };
    for (size_t i = 0; fed < s.size(); i++) {
        size_t piece = std::min(i < cuts.size() ? cuts[i] : s.size(), s.size() - fed);
        fuzz::require(write(p[1], s.data() + fed, piece) == (ssize_t)piece, "write");
        fed += piece;
        // Only lines already whole in the pipe: the reader never waits.
        while (next < lines.size() && lines[next].second <= fed) take(lines[next++].first);
    }
    close(p[1]);
    while (next < lines.size()) take(lines[next++].first);
    char rest[1000];
    int avail = -7;
    fuzz::require(refused ||
                      (adt::spawn_gets(x, rest, sizeof rest, &avail, 1000) == -1 && avail == 0),
                  "nothing after the last");
    close(p[0]);
    adt::spawn_free(&x, 0);
    return 0;
}
