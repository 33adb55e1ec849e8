// The channel's line reader on arbitrary output of a child: the bytes go
// through a pipe in pieces of random size, read by spawn_gets from a
// process record whose output descriptor is that pipe, with result buffers
// of random size. The lines handed out must be those of a model that knows
// nothing of how the bytes were cut: the text up to each line feed (a
// carriage return before it removed), as long as the line fits the 998
// bytes the channel holds and no NUL byte comes first; after that, only
// failures. A line too long for the result is reported with its length
// and handed out whole by a second call with room for it.
#include <cstdint>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include "adt/spawn.h"
#include "fuzz/fuzz_util.h"

namespace
{

struct Line {
    std::string text; // as handed out
    size_t end;       // stream offset just past its line feed
};

std::vector<Line> model(const std::string &stream)
{
    std::vector<Line> lines;
    size_t pos = 0;
    for (;;) {
        size_t lf = stream.find('\n', pos);
        if (lf == std::string::npos) break;
        size_t nul = stream.find('\0', pos);
        if (nul < lf) break;
        if (lf - pos > 997) break;
        std::string text = stream.substr(pos, lf - pos);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        lines.push_back({text, lf + 1});
        pos = lf + 1;
    }
    return lines;
}

void check_record(adt::pSpawn x)
{
    fuzz::require(x->inbytes >= 0 && x->inbytes <= 998, "held bytes within 998");
    fuzz::require(x->inupto >= 0 && x->inupto <= x->inbytes, "read position within held bytes");
    fuzz::require(x->inbf[x->inbytes] == 0, "held bytes terminated");
}

// Takes the next line, which the pipe (or the buffer) holds whole.
void take(adt::pSpawn x, FuzzedDataProvider &in, const Line &want)
{
    int bfsz = in.ConsumeIntegralInRange(1, 1000);
    std::vector<char> result(bfsz);
    int avail = -7;
    int n = adt::spawn_gets(x, result.data(), bfsz, &avail, 1000);
    check_record(x);
    if (n < 0) {
        fuzz::require((int)want.text.size() >= bfsz, "only a line that does not fit fails");
        fuzz::require(avail == (int)want.text.size(), "a line too long reports its length");
        result.assign(avail + 1, 'z');
        n = adt::spawn_gets(x, result.data(), avail + 1, &avail, 1000);
        check_record(x);
    }
    fuzz::require(n == (int)want.text.size(), "line length");
    fuzz::require(memcmp(result.data(), want.text.data(), n) == 0 && result[n] == 0, "line text");
    fuzz::require(avail == x->inbytes - x->inupto, "avail counts the bytes held beyond");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::vector<size_t> cuts;
    int ncuts = in.ConsumeIntegralInRange(0, 30);
    for (int i = 0; i < ncuts; i++) cuts.push_back(in.ConsumeIntegralInRange<size_t>(1, 1200));
    std::string stream = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 60000));
    std::vector<Line> lines = model(stream);

    int p[2];
    if (pipe(p) != 0) fuzz::fail("pipe");
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    adt::pSpawn x = adt::spawn_init(-1, -1);
    x->out = p[0];

    size_t fed = 0, next = 0;
    for (size_t i = 0; fed < stream.size(); i++) {
        size_t piece = i < cuts.size() ? cuts[i] : stream.size() - fed;
        if (piece > stream.size() - fed) piece = stream.size() - fed;
        if (write(p[1], stream.data() + fed, piece) != (ssize_t)piece) fuzz::fail("write");
        fed += piece;
        // Only lines already whole in the pipe: the reader never waits.
        while (next < lines.size() && lines[next].end <= fed) take(x, in, lines[next++]);
    }
    close(p[1]);
    while (next < lines.size()) take(x, in, lines[next++]);
    // Nothing more: the rest is no line, and the end of the stream is seen at once.
    char rest[1000];
    int avail = -7;
    fuzz::require(adt::spawn_gets(x, rest, sizeof rest, &avail, 1000) == -1,
                  "no line after the last");
    fuzz::require(avail == 0, "no length reported at the end");
    check_record(x);

    close(p[0]);
    adt::spawn_free(&x, 0);
    return 0;
}
