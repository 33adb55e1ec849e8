// The channel's line reader on any output of a module: the bytes reach a
// pipe in pieces of random size and are read with result buffers of random
// size. The lines handed out are those of a model that knows nothing of the
// cuts: the text up to each line feed (without a carriage return before
// it), while a line fits the 998 bytes the channel holds and no NUL comes
// first. A line too long for the result is reported with its length and
// handed out whole by a second call with room for it.
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

#include "adt/log.h"
#include "adt/spawn.h"
#include "fuzz/fuzz_util.h"

namespace
{

struct Line {
    std::string text;
    size_t end; // stream offset past its line feed
};

std::vector<Line> model(const std::string &s)
{
    std::vector<Line> lines;
    for (size_t pos = 0, lf;
         (lf = s.find('\n', pos)) != std::string::npos && s.find('\0', pos) > lf && lf - pos <= 997;
         pos = lf + 1)
        lines.push_back({s.substr(pos, lf - pos - (lf > pos && s[lf - 1] == '\r')), lf + 1});
    return lines;
}

void take(adt::pSpawn x, FuzzedDataProvider &in, const Line &want)
{
    int bfsz = in.ConsumeIntegralInRange(1, 1000), avail = -7;
    std::vector<char> result(bfsz);
    int n = adt::spawn_gets(x, result.data(), bfsz, &avail, 1000);
    if (n < 0) {
        fuzz::require((int)want.text.size() >= bfsz && avail == (int)want.text.size(),
                      "only a line too long for the result fails, and tells its length");
        result.assign(avail + 1, 'z');
        n = adt::spawn_gets(x, result.data(), avail + 1, &avail, 1000);
    }
    fuzz::require(n == (int)want.text.size() && !memcmp(result.data(), want.text.data(), n) &&
                      !result[n],
                  "the line as the model has it");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    adt::log_set(adt::log_init(adt::LogNone));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::vector<size_t> cuts(in.ConsumeIntegralInRange(0, 30));
    for (size_t &c : cuts) c = in.ConsumeIntegralInRange<size_t>(1, 1200);
    std::string stream = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 60000));
    std::vector<Line> lines = model(stream);
    int p[2];
    fuzz::require(pipe(p) == 0, "pipe");
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    adt::pSpawn x = adt::spawn_init(-1, -1);
    x->out = p[0];
    size_t fed = 0, next = 0;
    for (size_t i = 0; fed < stream.size(); i++) {
        size_t piece = std::min(i < cuts.size() ? cuts[i] : stream.size(), stream.size() - fed);
        fuzz::require(write(p[1], stream.data() + fed, piece) == (ssize_t)piece, "write");
        fed += piece;
        // Only lines already whole in the pipe: the reader never waits.
        while (next < lines.size() && lines[next].end <= fed) take(x, in, lines[next++]);
    }
    close(p[1]);
    while (next < lines.size()) take(x, in, lines[next++]);
    char rest[1000];
    int avail = -7;
    fuzz::require(adt::spawn_gets(x, rest, sizeof rest, &avail, 1000) == -1 && avail == 0,
                  "no line after the last, and the end seen at once");
    close(p[0]);
    adt::spawn_free(&x, 0);
    return 0;
}
