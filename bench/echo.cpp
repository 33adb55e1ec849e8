// bench-echo: the least a module can be. Answers every request line with
// "+OK", or with the text given as its one argument, and does nothing
// else, so that a round trip to it costs what the pipes and the scheduler
// cost and no more: the limit a real module is measured against. Lines
// that arrive together are answered together.
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    const std::string reply = std::string(argc > 1 ? argv[1] : "+OK") + "\n";
    static char in[65536];
    std::string out;
    for (;;) {
        ssize_t n = read(0, in, sizeof in);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        out.clear();
        for (const char *p = in; (p = static_cast<const char *>(memchr(p, '\n', in + n - p))); p++)
            out += reply;
        for (size_t done = 0; done < out.size();) {
            ssize_t w = write(1, out.data() + done, out.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return 0;
            done += static_cast<size_t>(w);
        }
    }
}
