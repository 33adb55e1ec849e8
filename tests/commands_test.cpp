// The command loop's side of the handler's contract (request.h), which a
// daemon relies on: every line reaches the handler with its session and
// sink, a request the handler puts off is handed again (and answered before
// the next line), and the request that ends the session ends the loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "adt/spawn.h"
#include "commands.h"

namespace
{

// Puts off a line that begins with "wait" once, then answers each line
// with its text and whether its client may write.
Served echo_later(Request *r)
{
    if (r->step == 0 && strncmp(r->line, "wait", 4) == 0) {
        r->step = 1;
        r->not_before = adt::spawn_deadline(20);
        return SERVE_LATER;
    }
    std::string text(r->line, strcspn(r->line, "\n"));
    r->reply->line(r->session->writer ? "+OK writer " : "+OK ", text.c_str());
    r->reply->flush();
    return text == "quit" ? SERVED_LAST : SERVED;
}

} // namespace

TEST(CommandLoop, PutOffRequestIsServedAgainInItsTurnAndTheLastEndsTheSession)
{
    int fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
    const std::string in = "wait a\nnext\nquit\nafter\n";
    ASSERT_EQ((ssize_t)in.size(), write(fd[1], in.data(), in.size()));
    shutdown(fd[1], SHUT_WR);
    Client c;
    client_init(&c, fd[0], fd[0], -1);
    Session s = {1, 0, 0, 0, 0, nullptr};
    EXPECT_EQ(END_QUIT, command_loop(&c, &s, echo_later));
    close(fd[0]);
    char out[256];
    ssize_t n = read(fd[1], out, sizeof out);
    EXPECT_EQ("+OK writer wait a\n+OK writer next\n+OK writer quit\n",
              std::string(out, n > 0 ? n : 0));
    close(fd[1]);
}
