// corvane-squid: Corvane behind Squid's basic authentication, as the
// long-running program of "auth_param basic program". Requests come on
// standard input, one line each, and are answered on standard output; the
// diagnostics go to standard error, which Squid writes to its cache.log.
// A password is never written to either.
//
// Corvane is asked over links: one Corvane child for the helper's whole
// life (started again when it dies), or, with --socket, connections to the
// Corvane daemon, one per request in flight, so that concurrent requests
// are answered at once and in any order.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "adapters/squid.h"
#include "adt/lib.h"
#include "adt/spawn.h"
#include "adt/wire.h"

namespace
{

const char Usage[] =
    "usage: corvane-squid [--corvane PROGRAM] [--path DIR] [--timeout MS] [--concurrency]\n"
    "       corvane-squid --socket PATH [--timeout MS] [--concurrency]\n";

enum {
    LINKS_MAX = 256, // daemon connections open at once; more requests wait
    GRACE_MS = 2000, // time a Corvane child is given to end after its input closes
};

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("corvane-squid: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

struct Options {
    std::string corvane = cpw_default_corvane();
    std::string path = cpw_default_path();
    std::string socket; // empty: start a Corvane child
    int timeout = CPW_TIMEOUT;
    bool concurrent = false;
};

// A descriptor closed when its owner goes.
class Fd
{
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// One request on its way to Corvane. The command holds the password and
// is cleared when the job goes.
struct Job {
    char channel[SQ_CHANNEL_MAX + 1] = "";
    char command[adt::WIRE_BUF];
    int len = 0;
    char password[adt::WIRE_BUF]; // to keep it out of any reply shown
    bool again = false;           // sent a second time, after a link broke under it
    struct timespec deadline = {};
    Job() = default;
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;
    ~Job()
    {
        explicit_bzero(command, sizeof command);
        explicit_bzero(password, sizeof password);
    }
};

// Writes one reply line to Squid. Squid gone, the helper has nothing left
// to do.
void answer(const char *channel, int verdict, const char *message)
{
    char line[adt::WIRE_BUF + 64];
    int n = squid_reply(line, sizeof line, channel, verdict, message);
    if (n < 0 || !adt::write_all(1, line, (size_t)n)) exit(0);
}

// Answers a job from Corvane's reply line (null when none came; why then
// says what happened).
void answer_job(const Job &job, const char *reply, const char *why)
{
    int verdict = squid_verdict(reply);
    if (verdict != SQ_BH) {
        answer(job.channel, verdict, nullptr);
        return;
    }
    // A broken module may echo its request: such a reply is not shown.
    const char *text = !reply ? why
                       : cpw_reply_holds(reply, job.password)
                           ? "Corvane cannot answer (a reply that "
                             "holds the password)"
                           : reply;
    say("%s", text);
    answer(job.channel, SQ_BH, text);
}

// One way to Corvane: a Corvane child's pipes, or a daemon connection.
// Dropping a link closes Corvane's input; a child is then given a moment
// to end, and is stopped if it does not.
class Link
{
  public:
    Link(Fd rd, Fd wr, pid_t pid) : rd_(std::move(rd)), wr_(std::move(wr)), pid_(pid) {}
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    ~Link()
    {
        wr_.reset();
        rd_.reset();
        if (pid_ > 0) finish(hung_ ? 0 : GRACE_MS);
    }

    int fd() const { return rd_.get(); }
    Job *job() const { return job_.get(); }

    // Whether an idle link can still carry a request: Corvane has not ended
    // or closed the connection. Output nobody asked for is thrown away.
    bool usable()
    {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        for (;;) {
            struct pollfd p = {rd_.get(), POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) return true;
            char bf[256];
            ssize_t r = read(rd_.get(), bf, sizeof bf);
            if (r <= 0 && !(r < 0 && errno == EINTR)) return false;
        }
    }

    // Sends the job's command; the link then carries it until its reply.
    bool send(std::unique_ptr<Job> &job, int timeout)
    {
        if (!adt::write_all(wr_.get(), job->command, (size_t)job->len)) return false;
        job->deadline = adt::spawn_deadline(timeout);
        job_ = std::move(job);
        reply_.clear();
        return true;
    }

    // Reads what Corvane wrote: 1 when the reply line is whole (the job is
    // answered and the link is idle again), 0 when more is to come, -1 when
    // the link is broken. The job of a broken link is answered BH, or, when
    // the link had served before and no byte of the reply came, handed back
    // in retry to be sent once more: a Corvane that ended between two
    // requests, or a daemon that closed an idle connection, is no failure.
    int take(std::unique_ptr<Job> &retry)
    {
        char bf[adt::WIRE_BUF];
        ssize_t r = read(rd_.get(), bf, sizeof bf);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        if (r <= 0 && served_ && reply_.empty() && !job_->again) {
            job_->again = true;
            retry = std::move(job_);
            return -1;
        }
        if (r <= 0) {
            answer_job(*job_, nullptr,
                       r < 0 ? "cannot read Corvane's reply" : "Corvane ended without a reply");
            job_.reset();
            return -1;
        }
        const char *lf = (const char *)memchr(bf, '\n', (size_t)r);
        // A reply longer than a line is kept cut: only its start decides.
        size_t keep = (size_t)(lf ? lf - bf : r);
        if (reply_.size() < (size_t)adt::WIRE_TEXT)
            reply_.append(bf, std::min(keep, (size_t)adt::WIRE_TEXT - reply_.size()));
        if (!lf) return 0;
        answer_job(*job_, reply_.c_str(), nullptr);
        job_.reset();
        served_++;
        // Anything after the line is unasked; usable() discards what is left.
        return 1;
    }

    // Answers the job BH when its time is up; the link is then useless, as
    // its reply could still come and be taken for the next one's.
    bool expired()
    {
        if (!job_ || cpw_left(&job_->deadline) > 0) return false;
        answer_job(*job_, nullptr, "no reply from Corvane within the time-out");
        job_.reset();
        hung_ = true;
        return true;
    }

  private:
    void finish(int grace)
    {
        for (int waited = 0;; waited += 10) {
            if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
            if (waited >= grace) break;
            adt::my_msleep(10);
        }
        kill(pid_, SIGTERM);
        for (int waited = 0; waited < 1000; waited += 10) {
            if (waitpid(pid_, nullptr, WNOHANG) != 0) return;
            adt::my_msleep(10);
        }
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    Fd rd_, wr_;
    pid_t pid_;
    bool hung_ = false;
    int served_ = 0; // replies read
    std::unique_ptr<Job> job_;
    std::string reply_;
};

// The child's side: Corvane's standard input and output become the
// pipes, no other descriptor reaches Corvane, and the working directory is
// the configuration directory. A program that cannot be run says so on the
// pipe, as Corvane itself says a failed start.
[[noreturn]] void exec_corvane(const Options &o, int in, int out)
{
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(127);
    adt::spawn_cloexec_from(3);
    signal(SIGPIPE, SIG_DFL);
    char why[CPW_LINE];
    if (chdir(o.path.c_str()) != 0) {
        int n = adt::lprintf(why, sizeof why, "-DEAD cannot enter %s: %s\n", o.path.c_str(),
                             strerror(errno));
        adt::write_all(1, why, (size_t)n);
        _exit(127);
    }
    char *argv[] = {(char *)o.corvane.c_str(), (char *)"-path", (char *)o.path.c_str(), nullptr};
    execv(argv[0], argv);
    int n =
        adt::lprintf(why, sizeof why, "-DEAD cannot execute %s: %s\n", argv[0], strerror(errno));
    adt::write_all(1, why, (size_t)n);
    _exit(127);
}

// A new link, or null with the reason in why.
std::unique_ptr<Link> open_link(const Options &o, std::string &why)
{
    if (!o.socket.empty()) {
        Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, o.socket.c_str(), o.socket.size() + 1); // length checked at start
        if (s.get() < 0 || connect(s.get(), (struct sockaddr *)&a, sizeof a) != 0) {
            why = "cannot connect to " + o.socket + ": " + strerror(errno);
            return nullptr;
        }
        Fd w(fcntl(s.get(), F_DUPFD_CLOEXEC, 3));
        if (w.get() < 0) {
            why = std::string("cannot duplicate a descriptor: ") + strerror(errno);
            return nullptr;
        }
        return std::make_unique<Link>(std::move(s), std::move(w), -1);
    }
    // Before each start, as corvane-checkpassword: a configuration that
    // others could change would name the programs Corvane runs as us.
    char err[CPW_LINE];
    if (!cpw_config_safe(o.path.c_str(), o.corvane.c_str(), err, sizeof err)) {
        why = err;
        return nullptr;
    }
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        why = std::string("cannot make a pipe: ") + strerror(errno);
        return nullptr;
    }
    Fd to_rd(to[0]), to_wr(to[1]);
    if (pipe2(from, O_CLOEXEC) != 0) {
        why = std::string("cannot make a pipe: ") + strerror(errno);
        return nullptr;
    }
    Fd from_rd(from[0]), from_wr(from[1]);
    pid_t pid = fork();
    if (pid == 0) exec_corvane(o, to[0], from[1]);
    if (pid < 0) {
        why = "cannot start " + o.corvane + ": " + strerror(errno);
        return nullptr;
    }
    return std::make_unique<Link>(std::move(from_rd), std::move(to_wr), pid);
}

// The helper's state: requests waiting, the links, Squid's input.
class Helper
{
  public:
    explicit Helper(const Options &o) : o_(o) {}
    ~Helper() { explicit_bzero(in_, sizeof in_); }

    int run()
    {
        bool open_input = true;
        while (open_input || !queue_.empty() || busy()) {
            dispatch();
            std::vector<struct pollfd> p;
            if (open_input) p.push_back({0, POLLIN, 0});
            for (auto &l : links_)
                if (l->job()) p.push_back({l->fd(), POLLIN, 0});
            int r = poll(p.data(), p.size(), wait_ms());
            if (r < 0 && errno != EINTR) {
                say("cannot wait for input: %s", strerror(errno));
                return 1;
            }
            for (auto &q : p)
                if (q.revents && q.fd == 0)
                    open_input = read_input();
                else if (q.revents)
                    take_reply(q.fd);
            for (size_t i = links_.size(); i-- > 0;)
                if (links_[i]->expired()) links_.erase(links_.begin() + (long)i);
        }
        return 0;
    }

  private:
    bool busy() const
    {
        for (auto &l : links_)
            if (l->job()) return true;
        return false;
    }

    // Milliseconds until the nearest deadline, -1 for none.
    int wait_ms() const
    {
        int ms = -1;
        for (auto &l : links_)
            if (l->job()) {
                int left = cpw_left(&l->job()->deadline);
                if (ms < 0 || left < ms) ms = left;
            }
        return ms;
    }

    void drop(Link *link)
    {
        for (auto it = links_.begin(); it != links_.end(); ++it)
            if (it->get() == link) {
                links_.erase(it);
                return;
            }
    }

    // An idle link that still works (broken ones are dropped), a new one
    // while there is room, or null (with why set when a new one failed).
    Link *idle_link(std::string &why)
    {
        for (size_t i = 0; i < links_.size();) {
            if (links_[i]->job()) {
                i++;
                continue;
            }
            if (links_[i]->usable()) return links_[i].get();
            links_.erase(links_.begin() + (long)i);
        }
        size_t most = o_.socket.empty() ? 1 : LINKS_MAX;
        if (links_.size() >= most) return nullptr;
        auto link = open_link(o_, why);
        if (!link) return nullptr;
        links_.push_back(std::move(link));
        return links_.back().get();
    }

    // Hands waiting requests to links. A send that fails on a link that
    // was idle (Corvane or the daemon gone since) is tried once more on a
    // new link.
    void dispatch()
    {
        while (!queue_.empty()) {
            std::string why;
            bool sent = false;
            for (int attempt = 0; attempt < 2 && !sent; attempt++) {
                Link *link = idle_link(why);
                if (!link) break;
                sent = link->send(queue_.front(), o_.timeout);
                if (!sent) {
                    why = std::string("cannot send to Corvane: ") + strerror(errno);
                    drop(link);
                }
            }
            if (sent) {
                queue_.pop_front();
                continue;
            }
            if (why.empty()) return; // every link busy: wait for one
            answer_job(*queue_.front(), nullptr, why.c_str());
            queue_.pop_front();
        }
    }

    void take_reply(int fd)
    {
        for (auto &l : links_)
            if (l->fd() == fd && l->job()) {
                std::unique_ptr<Job> retry;
                if (l->take(retry) >= 0) return;
                drop(l.get());
                if (retry) queue_.push_front(std::move(retry));
                return;
            }
    }

    // Reads what Squid wrote and handles every whole line; false at the
    // end of the input.
    bool read_input()
    {
        ssize_t r = read(0, in_ + have_, sizeof in_ - have_);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (r <= 0) return false;
        have_ += (size_t)r;
        char *start = in_;
        for (char *lf; (lf = (char *)memchr(start, '\n', (size_t)(in_ + have_ - start)));
             start = lf + 1) {
            *lf = 0;
            if (skipping_)
                refuse_long();
            else
                request(start);
            skipping_ = false;
        }
        size_t left = (size_t)(in_ + have_ - start);
        if (left == sizeof in_) { // a line longer than the buffer: its start names the channel
            if (!skipping_) memcpy(head_, in_, sizeof head_ - 1);
            skipping_ = true;
            left = 0;
        }
        memmove(in_, start, left);
        explicit_bzero(in_ + left, sizeof in_ - left);
        have_ = left;
        return true;
    }

    // Refuses the line too long to be read whole, on its own channel.
    void refuse_long()
    {
        char channel[SQ_CHANNEL_MAX + 1] = "";
        size_t n = o_.concurrent ? strspn(head_, "0123456789") : 0;
        if (n <= SQ_CHANNEL_MAX) memcpy(channel, head_, n);
        answer(channel, SQ_ERR, "request too long");
    }

    void request(char *line)
    {
        SquidRequest r;
        squid_parse(line, o_.concurrent, &r);
        if (r.Verdict == SQ_ASK) {
            auto job = std::make_unique<Job>();
            memcpy(job->channel, r.Channel, sizeof job->channel);
            job->len = squid_command(job->command, sizeof job->command, &r.Login);
            strncpy(job->password, r.Login.Password, sizeof job->password - 1);
            if (job->len > 0) {
                queue_.push_back(std::move(job));
                return;
            }
            r.Verdict = SQ_ERR;
            r.Why = "a login too long for a Corvane command";
        }
        if (r.Verdict == SQ_BH) say("%s", r.Why);
        answer(r.Channel, r.Verdict, r.Why);
    }

    const Options &o_;
    std::deque<std::unique_ptr<Job>> queue_;
    std::vector<std::unique_ptr<Link>> links_;
    char in_[SQ_INPUT];
    size_t have_ = 0;
    bool skipping_ = false;
    char head_[SQ_CHANNEL_MAX + 2] = ""; // the start of a line too long
};

// Reads the options; 0 on success, else the exit status.
int parse_options(int argc, char **argv, Options &o)
{
    bool child_option = false;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name.rfind("--", 0) == 0) name.erase(0, 1);
        if (name == "-help") {
            printf("%sdefaults: --corvane %s --path %s --timeout %d\n", Usage,
                   cpw_default_corvane(), cpw_default_path(), CPW_TIMEOUT);
            return -1;
        }
        if (name == "-concurrency") {
            o.concurrent = true;
            continue;
        }
        if (name != "-corvane" && name != "-path" && name != "-socket" && name != "-timeout") {
            say("unknown option %s", argv[i]);
            return 2;
        }
        if (i + 1 >= argc || !*argv[i + 1]) {
            say("%s requires a value", argv[i]);
            return 2;
        }
        const char *value = argv[++i];
        if (name != "-timeout" && value[0] != '/') {
            // Squid's current directory is no place to trust.
            say("%s %s: an absolute path is needed", argv[i - 1], value);
            return 2;
        }
        if (name == "-timeout") {
            char *end = nullptr;
            long v = strtol(value, &end, 10);
            if (*end || v < 1 || v > CPW_TIMEOUT_MAX) {
                say("bad time-out %s: milliseconds from 1 to %d", value, CPW_TIMEOUT_MAX);
                return 2;
            }
            o.timeout = (int)v;
        } else if (name == "-socket")
            o.socket = value;
        else {
            (name == "-corvane" ? o.corvane : o.path) = value;
            child_option = true;
        }
    }
    if (!o.socket.empty() && child_option) {
        say("--socket asks a running daemon: --corvane and --path do not apply");
        return 2;
    }
    if (o.socket.size() >= sizeof(((struct sockaddr_un *)nullptr)->sun_path)) {
        say("socket path too long: %s", o.socket.c_str());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed descriptor 0, 1 or 2 is opened on /dev/null, so that no
    // pipe of ours lands there.
    if (!adt::spawn_stdio_open()) return 1;
    Options o;
    int status = parse_options(argc, argv, o);
    if (status) {
        if (status > 0) fputs(Usage, stderr);
        return status < 0 ? 0 : status;
    }
    signal(SIGPIPE, SIG_IGN);
    Helper h(o);
    return h.run();
}
