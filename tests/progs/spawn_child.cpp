// A child program for the channel tests; its first argument picks a behaviour:
//   env      prints its environment, one entry a line, then "END"
//   args     prints its argument count and last argument
//   pieces   answers each input line with the same line, written in three
//            pieces 50 ms apart
//   stderr   writes to standard error, opens a file, reports both, then echoes
//   ignore   ignores SIGTERM, prints "ready" and waits to be killed
//   bye      prints "bye" and ends; "part" prints "part" without a line feed
//   delay N  answers each input line after N ms
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static void nap(int ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

static void say(const std::string &text)
{
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

// Reads one line with its line feed; false at end of input.
static bool next_line(std::string &line)
{
    char bf[4096];
    if (!fgets(bf, sizeof bf, stdin)) return false;
    line = bf;
    return true;
}

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    std::string line;
    if (mode == "env") {
        for (char **e = environ; *e; e++) say(std::string(*e) + "\n");
        say("END\n");
    } else if (mode == "args") {
        say(std::to_string(argc) + " " + argv[argc - 1] + "\n");
    } else if (mode == "pieces") {
        while (next_line(line)) {
            size_t third = line.size() / 3;
            say(line.substr(0, third));
            nap(50);
            say(line.substr(third, third));
            nap(50);
            say(line.substr(2 * third));
        }
    } else if (mode == "stderr") {
        bool wrote = write(2, "noise\n", 6) == 6;
        int fd = open("/dev/null", O_RDONLY);
        say(std::string(wrote ? "wrote" : "failed") + " fd=" + std::to_string(fd) + "\n");
        while (next_line(line)) {
            if (write(2, "more noise\n", 11) != 11) say("-ERR stderr\n");
            say(line);
        }
    } else if (mode == "ignore") {
        signal(SIGTERM, SIG_IGN);
        say("ready\n");
        for (;;) pause();
    } else if (mode == "bye") {
        say("bye\n");
    } else if (mode == "part") {
        say("part");
    } else if (mode == "delay" && argc > 2) {
        int ms = atoi(argv[2]);
        while (next_line(line)) {
            nap(ms);
            say(line);
        }
    } else {
        return 1;
    }
    return 0;
}
