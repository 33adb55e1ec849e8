// corvane-bench: measures what Corvane adds to the cost of asking a module,
// against the limit of the machine it runs on, and prints one table.
//
//   raw        request/reply round trips over a pipe pair with bench-echo,
//              a child that answers every line with "+OK"
//   channel    the same child through spawn_printf and spawn_gets
//   pipelined  lookups through Corvane and one corvane-file module of
//              10,000 users, the client writing without waiting
//   lock-step  the same, the client waiting for each reply
//   2 and 5    as pipelined, with modules in front that do not know the users
//   -lookup    the whole `corvane -lookup NAME` process with two modules
//   checks     passwords checked per second, yescrypt and sha512crypt hashes,
//              and yescrypt through corvane-pgsql on a PostgreSQL server the
//              benchmark starts on a Unix socket of its own (when the
//              server's programs are installed)
//   memory     Corvane's own peak resident set with ten modules
//   ldap       lookups and checks through corvane-ldap over a local slapd
//   daemon     yescrypt checks from four clients at once through
//              `corvane -listen`, with one worker and with two; a login
//              alone and beside 500 idle connections
//   pam        whole PAM logins in this process through pam_corvane.so and
//              the daemon, beside pam_permit.so and pam_exec with the
//              adapter; Dovecot logins asked on its auth socket through
//              passdb pam and pam_corvane.so, beside Dovecot's own
//              passwd-file and passdb pam over pam_permit.so
//
// Every figure is the median of several runs made here, in this run, and
// every reply is compared with the one its request must get: a fast wrong
// answer fails its step. A step that cannot run (a server that does not
// come up within two minutes, a wrong reply) is named, the other steps run
// and the table is printed; the exit status is 1 when a step could not run.
//
//   corvane-bench [-runs N] [-n ROUNDTRIPS] [-keep] [-nopin] [-only GROUP]
//
// -only runs one group, for a profiler or strace to look at: raw, channel,
// pipelined, lockstep, modules, command, checks, memory, ldap, daemon, protect or pam (figures that
// need raw then show no ratio).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "adapters/askd.h"
#include "adt/sini.h"
#include "adt/spawn.h"
#include "modules/modhash.h"

extern char **environ;

namespace
{

// Users in the store that answers; user i is "u%05d" with extra "User i".
const int USERS = 10000;
const char PASSWORD[] = "secret";

struct settings {
    int runs = 5;      // runs per figure; the median is reported
    int n = 20000;     // round trips of one raw or channel run
    bool keep = false; // leave the work directory for a look
    std::string only;  // run just this group of figures (for profiling)
    std::string dir;   // the work directory
    // Placement. A request and its reply pass between processes that wake
    // each other: on one CPU that is a context switch, across two a wake-up
    // of the other CPU, many times dearer on some machines (see
    // doc/performance.md). So every chain that waits on itself (the client
    // in lock-step; Corvane and its modules always) runs on one CPU,
    // `chain`, and a pipelined client, which waits on nobody, on another,
    // `client`. -1: the scheduler decides (-nopin).
    int chain = -1;
    int client = -1;
    cpu_set_t *allowed = nullptr; // the CPUs we were given
    int children = -1;            // where launch() puts the next children
};
settings S;

// The PostgreSQL server of the checks through corvane-pgsql: the shell
// words that run its programs as a user the server accepts (never root),
// and its directory while it runs.
std::string PgAs, PgDir;
// A PAM service the benchmark wrote into /etc/pam.d (Dovecot reads only
// there), removed at the end.
std::string EtcPam;

void pg_stop()
{
    if (PgDir.empty()) return;
    std::string cmd =
        PgAs + PG_BIN_DIR "/pg_ctl -D " + PgDir + " -m immediate -w stop >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "corvane-bench: cannot stop the server in %s\n", PgDir.c_str());
    PgDir.clear();
}

// Why a step cannot go on: thrown by fail(), caught where the step runs.
struct step_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &why)
{
    throw step_failure(why);
}

// The longest wait for a server to come up.
const double SERVER_WAIT = 120;

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// --- Children over a pipe pair ---

struct child {
    pid_t pid = -1;
    int in = -1;  // we write its standard input here
    int out = -1; // we read its standard output here
};

// Binds the calling process (and so the children it starts from then on)
// to one CPU; -1 leaves placement to the scheduler.
void pin(int cpu)
{
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Lets the scheduler place the benchmark again.
void unpin()
{
    if (S.allowed) sched_setaffinity(0, sizeof *S.allowed, S.allowed);
}

// Places the benchmark itself on CPU self and the children it starts next
// on CPU children (-1 each: anywhere).
void place(int self, int children)
{
    if (self < 0)
        unpin();
    else
        pin(self);
    S.children = children;
}

// The children launched and not yet finished, ended when a step fails.
std::vector<pid_t> Running;

// Starts a child, placed as place() said, with a pipe pair.
child launch(const std::vector<std::string> &args)
{
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) || pipe2(from, O_CLOEXEC))
        fail("pipe: " + std::string(strerror(errno)));
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) fail("fork: " + std::string(strerror(errno)));
    if (pid == 0) {
        pin(S.children);
        dup2(to[0], 0);
        dup2(from[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    Running.push_back(pid);
    return {pid, to[1], from[0]};
}

// Closes the child's input (Corvane and the modules end at end of input)
// and reaps it.
void finish(child &c)
{
    if (c.in >= 0) close(c.in);
    if (c.out >= 0) close(c.out);
    int status;
    if (c.pid > 0) waitpid(c.pid, &status, 0);
    std::erase(Running, c.pid);
    c = child();
}

// Ends the children a failed step left: SIGTERM (a daemon then ends its
// workers), SIGKILL after ten seconds.
void end_children()
{
    for (pid_t pid : Running) kill(pid, SIGTERM);
    for (pid_t pid : Running) {
        bool gone = false;
        for (double t0 = now(); !(gone = waitpid(pid, nullptr, WNOHANG) == pid) && now() - t0 < 10;)
            usleep(10000);
        if (!gone) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    Running.clear();
}

void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("write: " + std::string(strerror(errno)));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Reads lines from a descriptor with blocking reads.
struct line_reader {
    int fd;
    std::string held;
    size_t upto = 0;

    explicit line_reader(int f) : fd(f) {}

    bool next(std::string *line)
    {
        for (;;) {
            size_t lf = held.find('\n', upto);
            if (lf != std::string::npos) {
                line->assign(held, upto, lf - upto);
                upto = lf + 1;
                return true;
            }
            held.erase(0, upto);
            upto = 0;
            char bf[65536];
            ssize_t r = read(fd, bf, sizeof bf);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            held.append(bf, static_cast<size_t>(r));
        }
    }
};

// --- The work directory: stores and configurations ---

std::string user(int i)
{
    char bf[16];
    snprintf(bf, sizeof bf, "u%05d", i);
    return bf;
}

// The i-th name a run asks for: every user in turn, in an order that is
// not the file's.
int nth(int i)
{
    return static_cast<int>((static_cast<long>(i) * 7919) % USERS);
}

std::string make_hash(const char *method)
{
    std::string h;
    if (!hash_make(hash_prefix(method), 0, PASSWORD, &h)) fail("cannot hash: " + h);
    return h;
}

// A store of 10,000 users, all with the same hash of PASSWORD (one salt:
// made once, since a hash each would take minutes with yescrypt).
void write_store(const std::string &path, char first, const char *extra, const std::string &hash)
{
    std::string text;
    for (int i = 0; i < USERS; i++) {
        char line[256];
        snprintf(line, sizeof line, "%c%05d:%s:%s %d\n", first, i, hash.c_str(), extra, i);
        text += line;
    }
    std::ofstream(path) << text;
}

// A configuration directory for Corvane: one module per store, in order;
// the modules come from `module`. A store that is empty or begins with "-"
// is given to the module as its options instead (bench-echo's reply).
std::string configure(const std::string &name, const std::string &module,
                      const std::vector<std::string> &stores)
{
    std::string dir = S.dir + "/" + name;
    std::filesystem::create_directories(dir);
    std::ofstream ini(dir + "/corvane.ini");
    ini << "loglevel error\n";
    for (size_t i = 0; i < stores.size(); i++)
        if (stores[i].empty() || stores[i][0] == '-')
            ini << "\nmodule " << i + 1 << "\nbinary " << module << " " << stores[i] << "\n";
        else
            ini << "\nmodule " << i + 1 << "\nbinary " << module << " -file " << S.dir << "/"
                << stores[i] << " -readonly\n";
    return dir;
}

// Starts a PostgreSQL server in dir/pg (no TCP listener, its socket in
// dir) with the users of write_store in corvane-pgsql's table, all with
// hash. The conninfo, or "" when the server's programs are missing. dir is
// made here and given to the server's user (the modules refuse stores in a
// directory of another user, so not the stores' own), and the directory
// above it made passable.
std::string pg_start(const std::string &dir, const std::string &hash)
{
    if (access(PG_BIN_DIR "/pg_ctl", X_OK) != 0 || access(PGSQL_MODULE_BIN, X_OK) != 0) return "";
    std::filesystem::create_directories(dir);
    chmod(std::filesystem::path(dir).parent_path().c_str(), 0711);
    if (geteuid() == 0) {
        PgAs = "runuser -u postgres -- ";
        if (system(("chown postgres " + dir).c_str()) != 0)
            fail("cannot give " + dir + " to postgres");
    }
    std::string data = dir + "/pg", uri = "postgresql:///postgres?host=" + dir + "&user=corvane";
    std::string sh = PgAs + PG_BIN_DIR "/initdb -D " + data +
                     " -A trust -U corvane >/dev/null 2>&1 && " + PgAs + PG_BIN_DIR "/pg_ctl -D " +
                     data + " -l " + dir + "/pg.log -w -t 120 -o \"-c listen_addresses='' -k " +
                     dir + "\" start >/dev/null 2>&1";
    if (system(sh.c_str()) != 0)
        fail("PostgreSQL did not start in " + data + " within two minutes (see " + dir +
             "/pg.log)");
    PgDir = data;
    std::ofstream(dir + "/pg.sql")
        << "CREATE TABLE corvane_users (name text PRIMARY KEY, hash text NOT NULL, extra text NOT "
           "NULL DEFAULT '');\n"
        << "INSERT INTO corvane_users SELECT 'u' || lpad(i::text, 5, '0'), '" << hash
        << "', 'User ' || i FROM generate_series(0, " << USERS - 1 << ") i;\n";
    sh = PG_BIN_DIR "/psql -q -v ON_ERROR_STOP=1 -f " + dir + "/pg.sql '" + uri + "' >/dev/null";
    if (system(sh.c_str()) != 0) fail("cannot fill the table");
    return uri;
}

// --- Measures ---

// One figure: its runs, median and the text around it.
struct figure {
    std::string what;
    std::string unit;
    double value = 0;
    double ratio = -1;  // to raw, when one applies
    std::string target; // the goal, if there is one
    int ok = -1;        // the goal held (1), failed (0), none (-1)
};
std::vector<figure> Table;

// Round trips per second with `children` copies of bench-echo, asked in
// turn (one: the limit).
double raw_run(const std::string &echo, int children = 1)
{
    std::vector<child> c;
    for (int k = 0; k < children; k++) c.push_back(launch({echo}));
    const char req[] = "lookup u00042\n";
    char bf[256];
    double t0 = now();
    for (int i = 0; i < S.n; i++) {
        const child &to = c[i % children];
        write_all(to.in, req, sizeof req - 1);
        size_t got = 0;
        while (got == 0 || bf[got - 1] != '\n') {
            ssize_t r = read(to.out, bf + got, sizeof bf - got);
            if (r <= 0) fail("raw: the child ended");
            got += static_cast<size_t>(r);
        }
        if (got != 4 || memcmp(bf, "+OK\n", 4) != 0) fail("raw: unexpected reply");
    }
    double rate = S.n / (now() - t0);
    for (child &k : c) finish(k);
    return rate;
}

double channel_run(const std::string &echo)
{
    adt::Spawn *x = adt::spawn_init(-1, -1);
    adt::spawn_copy_env(x, environ);
    if (!adt::spawn_start(x, echo.c_str())) fail("channel: cannot start " + echo);
    char bf[1000];
    double t0 = now();
    for (int i = 0; i < S.n; i++) {
        if (!adt::spawn_printf(x, "lookup %s", "u00042")) fail("channel: write failed");
        if (adt::spawn_gets(x, bf, sizeof bf, nullptr, 20000) != 3 || strcmp(bf, "+OK") != 0)
            fail("channel: unexpected reply");
    }
    double rate = S.n / (now() - t0);
    adt::spawn_free(&x, 0);
    return rate;
}

// Starts Corvane on a configuration and waits for its first answer from
// the modules, so that no run counts their start.
struct corvane {
    child c;
    std::shared_ptr<line_reader> r;
};

corvane start_corvane(const std::string &bin, const std::string &dir,
                      const std::string &first = "+OK u00000 User 0")
{
    corvane v;
    v.c = launch({bin, "-path", dir});
    v.r = std::make_shared<line_reader>(v.c.out);
    std::string req = "lookup " + user(0) + "\n", line;
    write_all(v.c.in, req.data(), req.size());
    if (!v.r->next(&line) || line != first)
        fail("Corvane on " + dir + " answered '" + line + "' to a first lookup");
    return v;
}

void stop_corvane(corvane &v)
{
    v.r.reset();
    finish(v.c);
}

// The request of command i and the reply it must get.
struct exchange {
    std::string request;
    std::string reply;
};

exchange lookup_of(int i)
{
    int u = nth(i);
    return {"lookup " + user(u) + "\n", "+OK " + user(u) + " User " + std::to_string(u)};
}

// A lookup answered by bench-echo in the module's place.
exchange echo_of(int i)
{
    return {lookup_of(i).request, "+OK"};
}

// How a pipelined client collects its replies.
enum collect {
    BATCH,    // looks every 0.2 ms and takes what has come: Corvane never
              // has to wake it, as with a busy caller
    STREAMING // sleeps on the pipe and wakes for every reply
};

// Writes every request ahead, as fast as the pipe takes them, and checks
// each reply as it is collected; answers commands per second.
double pipelined(corvane &v, int count, const std::function<exchange(int)> &make, bool prefix,
                 collect how = BATCH)
{
    std::vector<exchange> ex;
    std::string all;
    for (int i = 0; i < count; i++) {
        ex.push_back(make(i));
        all += ex.back().request;
    }
    // Room for all requests and replies, where the system allows it.
    fcntl(v.c.in, F_SETPIPE_SZ, 1 << 20);
    fcntl(v.c.out, F_SETPIPE_SZ, 1 << 20);
    fcntl(v.c.in, F_SETFL, fcntl(v.c.in, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    int answered = 0;
    std::string held, line;
    double t0 = now(), progress = t0;
    while (answered < count) {
        if (sent < all.size()) {
            ssize_t w = write(v.c.in, all.data() + sent, all.size() - sent);
            if (w > 0) sent += static_cast<size_t>(w);
        }
        int waiting = 0;
        if (how == STREAMING) {
            pollfd p[2] = {{v.c.out, POLLIN, 0}, {v.c.in, POLLOUT, 0}};
            if (poll(p, sent < all.size() ? 2 : 1, 60000) <= 0) fail("Corvane fell silent");
            waiting = p[0].revents & (POLLIN | POLLHUP) ? 1 : 0;
        } else {
            timespec nap = {0, 200000};
            nanosleep(&nap, nullptr);
            ioctl(v.c.out, FIONREAD, &waiting);
            if (!waiting && now() - progress > 60) fail("Corvane fell silent");
        }
        if (!waiting) continue;
        char bf[65536];
        ssize_t r = read(v.c.out, bf, sizeof bf);
        if (r <= 0) fail("Corvane ended");
        progress = now();
        held.append(bf, static_cast<size_t>(r));
        size_t at = 0, lf;
        while ((lf = held.find('\n', at)) != std::string::npos) {
            line.assign(held, at, lf - at);
            at = lf + 1;
            const std::string &want = ex[answered].reply;
            bool right = prefix ? line.compare(0, want.size(), want) == 0 : line == want;
            if (!right) fail("reply '" + line + "' to " + ex[answered].request);
            answered++;
        }
        held.erase(0, at);
    }
    double rate = count / (now() - t0);
    fcntl(v.c.in, F_SETFL, fcntl(v.c.in, F_GETFL) & ~O_NONBLOCK);
    return rate;
}

// Sends each request only after the reply to the one before; answers
// commands per second. The client does no more than raw_run's: a write,
// reads up to the line feed, a comparison.
double lockstep(corvane &v, int count, const std::function<exchange(int)> &make)
{
    std::vector<exchange> ex;
    for (int i = 0; i < count; i++) ex.push_back(make(i));
    char bf[1024];
    double t0 = now();
    for (const exchange &e : ex) {
        write_all(v.c.in, e.request.data(), e.request.size());
        size_t got = 0;
        while (got == 0 || bf[got - 1] != '\n') {
            ssize_t r = read(v.c.out, bf + got, sizeof bf - got);
            if (r <= 0) fail("Corvane ended");
            got += static_cast<size_t>(r);
        }
        if (got != e.reply.size() + 1 || memcmp(bf, e.reply.data(), e.reply.size()) != 0)
            fail("reply '" + std::string(bf, got - 1) + "' to " + e.request);
    }
    return count / (now() - t0);
}

// Wall time of one whole `corvane -lookup NAME` in seconds.
double command_run(const std::string &bin, const std::string &dir)
{
    double t0 = now();
    child c = launch({bin, "-path", dir, "-lookup", user(42)});
    line_reader r(c.out);
    std::string line, rest;
    bool got = r.next(&line);
    bool more = r.next(&rest);
    int status = 0;
    close(c.in);
    close(c.out);
    waitpid(c.pid, &status, 0);
    double wall = now() - t0;
    if (!got || more || line != "+OK " + user(42) + " User 42" || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        fail("corvane -lookup answered '" + line + "'");
    return wall;
}

// A connection to the socket at path, or -1.
int connect_unix(const std::string &path)
{
    sockaddr_un a = {AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Runs client(k) for k from 0 to clients - 1, each in a process of its own,
// all at once; fails unless every one answers true.
void at_once(int clients, const std::function<bool(int k)> &client)
{
    std::vector<pid_t> kids;
    for (int k = 0; k < clients; k++) {
        pid_t pid = fork();
        if (pid == 0) {
            try {
                _exit(client(k) ? 0 : 1);
            } catch (const step_failure &) {
                _exit(1);
            }
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        waitpid(k, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a daemon client failed");
    }
}

// Checks per second through `corvane -listen` with `workers` workers in the
// configuration dir: `clients` processes at once, each on a connection of
// its own asking `each` checks in lock-step (a connection holds its worker).
// `corvane -listen sock` over dir, once it answers on its socket.
child start_daemon(const std::string &bin, const std::string &dir, const std::string &sock)
{
    child d = launch({bin, "-path", dir, "-listen", sock});
    for (double t0 = now();; usleep(10000)) {
        int fd = connect_unix(sock);
        if (fd >= 0 && close(fd) == 0) break;
        if (now() - t0 > SERVER_WAIT)
            fail("the daemon did not listen on " + sock + " within two minutes");
    }
    return d;
}

double daemon_run(const std::string &bin, const std::string &dir, int workers, int clients,
                  int each)
{
    std::ifstream in(dir + "/corvane.ini");
    std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(dir + "/corvane.ini") << "workers " << workers << "\n"
                                        << ini.substr(ini.find("\nmodule"));
    std::string sock = dir + "/s";
    child d = start_daemon(bin, dir, sock);
    auto round = [&](int n) {
        at_once(clients, [&](int k) {
            int fd = connect_unix(sock);
            line_reader r(fd);
            std::string line;
            for (int i = 0; i < n; i++) {
                int u = nth(k * n + i);
                std::string req = "check " + user(u) + " " + PASSWORD + "\n";
                write_all(fd, req.data(), req.size());
                if (!r.next(&line) || line.rfind("+OK " + user(u), 0) != 0) return false;
            }
            return true;
        });
    };
    round(2); // every worker started and warm
    double t0 = now();
    round(each);
    double rate = clients * each / (now() - t0);
    kill(d.pid, SIGTERM);
    finish(d);
    return rate;
}

// Milliseconds of one login through `corvane-checkpassword --pam --socket`
// against a daemon over dir (bench-echo as its module, so that the module
// costs nothing): the median of count logins, each a whole run of the
// adapter, as pam_exec makes it. With floor, /bin/true is run in the
// adapter's place: what starting any program costs here.
double socket_login_ms(const std::string &bin, const std::string &dir, int count, bool floor)
{
    std::string sock = dir + "/s";
    child d = start_daemon(bin, dir, sock);
    std::vector<double> took;
    for (int i = 0; i < count; i++) {
        // The password waits in the pipe: /bin/true ends without reading it.
        int in[2];
        if (pipe(in) != 0) fail("pipe");
        write_all(in[1], PASSWORD, strlen(PASSWORD));
        close(in[1]);
        double t0 = now();
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            close(in[0]);
            setenv("PAM_USER", user(nth(i)).c_str(), 1);
            if (floor) execl("/bin/true", "true", nullptr);
            execl(ADAPTER_BIN, ADAPTER_BIN, "--pam", "--socket", sock.c_str(), nullptr);
            _exit(127);
        }
        close(in[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        took.push_back((now() - t0) * 1000);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("a login through the daemon failed");
    }
    kill(d.pid, SIGTERM);
    finish(d);
    return median(took);
}

// --- Throttling, the cache and their memory ---

// Milliseconds of one request over a new connection to the daemon at sock:
// connect, send line, read the reply, which must begin with expect.
double request_ms(const std::string &sock, const std::string &line, const std::string &expect)
{
    double t0 = now();
    int fd = connect_unix(sock);
    if (fd < 0) fail("cannot connect to " + sock);
    write_all(fd, line.data(), line.size());
    line_reader r(fd);
    std::string reply;
    bool ok = r.next(&reply) && reply.rfind(expect, 0) == 0;
    close(fd);
    if (!ok) fail("the daemon answered '" + reply + "' to " + line.substr(0, line.find(' ')));
    return (now() - t0) * 1000;
}

// Milliseconds of one check through the daemon at sock, each on a new
// connection, the median of 2000; meanwhile `idle` more connections are
// held open, doing nothing, and none of them may be refused or closed.
double ask_ms(const std::string &sock, int idle)
{
    std::vector<int> held;
    for (int i = 0; i < idle; i++) {
        held.push_back(connect_unix(sock));
        if (held.back() < 0) fail("cannot connect to " + sock + ": " + strerror(errno));
    }
    const std::string line = "check " + user(1) + " " + PASSWORD + "\n", ok = "+OK";
    request_ms(sock, line, ok); // accepted after every idle one: a backlog is taken in order
    std::vector<double> took;
    for (int i = 0; i < 2000; i++) took.push_back(request_ms(sock, line, ok));
    std::vector<pollfd> polls;
    for (int fd : held) polls.push_back({fd, POLLIN, 0});
    if (poll(polls.data(), polls.size(), 0) != 0) fail("the daemon let an idle connection go");
    for (int fd : held) close(fd);
    return median(took);
}

// dir's configuration with the global settings lines first.
std::string with_settings(const std::string &dir, const std::string &name, const std::string &lines)
{
    std::string to = S.dir + "/" + name;
    std::filesystem::create_directories(to);
    std::ifstream in(dir + "/corvane.ini");
    std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(to + "/corvane.ini") << lines << ini;
    return to;
}

// Proportional set size of pid and its children (a daemon's supervisor and
// workers), in KiB.
long pss_kib(pid_t pid)
{
    long total = 0;
    std::vector<pid_t> pids = {pid};
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream st(e.path() / "stat");
        std::string line;
        if (!std::getline(st, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == pid) pids.push_back(static_cast<pid_t>(std::stol(e.path().filename())));
    }
    for (pid_t p : pids) {
        std::ifstream f("/proc/" + std::to_string(p) + "/smaps_rollup");
        for (std::string key; f >> key; f.ignore(1 << 20, '\n'))
            if (key == "Pss:") {
                long kib;
                f >> kib;
                total += kib;
                break;
            }
    }
    return total;
}

// Bytes of the memory a daemon's workers share, as its supervisor maps it.
long shared_bytes(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("corvane-shared") != std::string::npos)
            return std::stol(line.substr(line.find('-') + 1), nullptr, 16) -
                   std::stol(line, nullptr, 16);
    return -1;
}

// Corvane's own high-water mark of resident memory, in KiB.
long peak_kib(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmHWM:") {
            long kib;
            f >> kib;
            return kib;
        }
        f.ignore(1 << 20, '\n');
    }
    return -1;
}

template <class F> std::vector<double> repeat(int runs, F f)
{
    std::vector<double> v;
    for (int i = 0; i < runs; i++) v.push_back(f());
    return v;
}

// --- Logins through PAM and Dovecot ---

// The conversation of the benchmark's PAM handles: PASSWORD at every prompt.
int pam_answer(int n, const pam_message **, pam_response **r, void *)
{
    *r = static_cast<pam_response *>(calloc(n, sizeof **r));
    for (int i = 0; *r && i < n; i++) (*r)[i].resp = strdup(PASSWORD);
    return *r ? PAM_SUCCESS : PAM_BUF_ERR;
}

// Milliseconds of one whole PAM login in this process (pam_start,
// pam_authenticate, pam_end) on the service of the work directory's pam.d
// that holds lines: the median of runs of count logins.
double pam_login_ms(const std::string &service, const std::string &lines, int count)
{
    std::string confdir = S.dir + "/pam.d";
    std::filesystem::create_directories(confdir);
    std::ofstream(confdir + "/" + service) << lines;
    pam_conv conv = {pam_answer, nullptr};
    return median(repeat(S.runs, [&] {
        double t0 = now();
        for (int i = 0; i < count; i++) {
            pam_handle_t *h = nullptr;
            if (pam_start_confdir(service.c_str(), user(nth(i)).c_str(), &conv, confdir.c_str(),
                                  &h) != PAM_SUCCESS)
                fail("pam_start failed for the service " + service);
            int r = pam_authenticate(h, 0);
            pam_end(h, r);
            if (r != PAM_SUCCESS)
                fail("a PAM login through " + service + " failed: " + pam_strerror(nullptr, r));
        }
        return (now() - t0) * 1000 / count;
    }));
}

const char DOVECOT_BIN[] = "/usr/sbin/dovecot";

std::string base64(const std::string &in)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        for (size_t k = 0; k < 4; k++)
            out += i + k <= in.size() ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// Milliseconds of one login asked of a private Dovecot with passdb (its
// configuration text) through its auth socket: PLAIN, in lock-step on one
// connection, after a warm-up that starts its auth workers; the median of
// runs of count logins.
double dovecot_login_ms(const std::string &name, const std::string &passdb, int count)
{
    std::string dir = S.dir + "/" + name, sock = dir + "/run/auth-client";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/dovecot.conf")
        << "base_dir = " << dir << "/run\nstate_dir = " << dir << "/state\nlog_path = " << dir
        << "/dovecot.log\nprotocols =\nssl = no\ndefault_vsz_limit = 0\n"
        << passdb
        << "userdb {\n  driver = static\n  args = uid=5000 gid=5000 home=/nonexistent\n}\n";
    child d = launch({DOVECOT_BIN, "-F", "-c", dir + "/dovecot.conf"});
    int fd = -1;
    for (double t0 = now(); (fd = connect_unix(sock)) < 0; usleep(10000))
        if (now() - t0 > SERVER_WAIT) fail("Dovecot did not listen on " + sock + "; see " + dir);
    std::string hello = "VERSION\t1\t2\nCPID\t" + std::to_string(getpid()) + "\n", line;
    write_all(fd, hello.data(), hello.size());
    line_reader r(fd);
    while (r.next(&line) && line != "DONE") {
    }
    int id = 0;
    auto login = [&](int i) {
        std::string req = "AUTH\t" + std::to_string(++id) + "\tPLAIN\tservice=imap\tresp=" +
                          base64(std::string(1, '\0') + user(nth(i)) + '\0' + PASSWORD) + "\n";
        write_all(fd, req.data(), req.size());
        if (!r.next(&line) || line.rfind("OK\t" + std::to_string(id) + "\t", 0) != 0)
            fail("Dovecot answered '" + line + "'; see " + dir + "/dovecot.log");
    };
    for (int i = 0; i < 20; i++) login(i);
    double ms = median(repeat(S.runs, [&] {
        double t0 = now();
        for (int i = 0; i < count; i++) login(i);
        return (now() - t0) * 1000 / count;
    }));
    close(fd);
    kill(d.pid, SIGTERM);
    finish(d);
    return ms;
}

void add(const std::string &what, const std::string &unit, double value, double ratio,
         const std::string &target, int ok)
{
    Table.push_back({what, unit, value, ratio, target, ok});
    fprintf(stderr, "  %-48s %12.1f %s\n", what.c_str(), value, unit.c_str());
}

std::string machine()
{
    std::string model = "unknown";
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string l; std::getline(cpu, l);)
        if (l.rfind("model name", 0) == 0) {
            model = l.substr(l.find(':') + 2);
            break;
        }
    std::ifstream flags("/proc/cpuinfo");
    bool virt = false;
    for (std::string l; std::getline(flags, l);)
        if (l.rfind("flags", 0) == 0) {
            virt = l.find(" hypervisor") != std::string::npos;
            break;
        }
    std::string kernel;
    std::ifstream("/proc/sys/kernel/osrelease") >> kernel;
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, " + model +
           (virt ? " (virtual machine)" : "") + ", Linux " + kernel;
}

std::string load()
{
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void print_table(const std::string &load_before)
{
    printf("Machine: %s\n", machine().c_str());
    printf("Load average before: %s, after: %s\n", load_before.c_str(), load().c_str());
    printf("Median of %d runs; %d round trips per raw and channel run; %s.\n\n", S.runs, S.n,
           S.chain < 0           ? "placed by the scheduler"
           : S.client != S.chain ? ("waiting chains on CPU " + std::to_string(S.chain) +
                                    ", the pipelined client on CPU " + std::to_string(S.client))
                                       .c_str()
                                 : ("everything on CPU " + std::to_string(S.chain)).c_str());
    printf("| # | measure | median | unit | / raw | target | holds |\n");
    printf("|---|---|---:|---|---:|---|---|\n");
    int i = 0;
    for (const figure &f : Table) {
        char value[32], ratio[32] = "";
        snprintf(value, sizeof value, f.value >= 100 ? "%.0f" : "%.2f", f.value);
        if (f.ratio >= 0) snprintf(ratio, sizeof ratio, "%.2f", f.ratio);
        printf("| %d | %s | %s | %s | %s | %s | %s |\n", ++i, f.what.c_str(), value, f.unit.c_str(),
               ratio, f.target.c_str(),
               f.ok < 0 ? ""
               : f.ok   ? "yes"
                        : "NO");
    }
    fflush(stdout);
}

// --- A directory for the LDAP rows ---

const char SLAPD_BIN[] = "/usr/sbin/slapd";

// Runs a shell command line in dir, its output discarded; true on exit 0.
bool shell(const std::string &dir, const std::string &command)
{
    return system(("cd '" + dir + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts slapd in the work directory on a Unix socket there, with USERS
// entries uid=u%05d, cn "User i", all with one {SSHA} hash of PASSWORD
// (slapd's own default) and an equality index on uid, as a site would
// have. Answers corvane-ldap's options for it, or "" without slapd.
std::string start_slapd()
{
    if (access(SLAPD_BIN, X_OK) != 0) return "";
    std::string dir = S.dir + "/slapd";
    std::filesystem::create_directories(dir + "/db");
    std::ofstream(dir + "/slapd.conf")
        << "include /etc/ldap/schema/core.schema\ninclude /etc/ldap/schema/cosine.schema\n"
           "include /etc/ldap/schema/inetorgperson.schema\nmodulepath /usr/lib/ldap\n"
           "moduleload back_mdb\npidfile slapd.pid\ndatabase mdb\nsuffix dc=bench\n"
           "directory db\nmaxsize 268435456\nindex uid eq\nindex objectClass eq\n"
           "access to attrs=userPassword by dn.exact=cn=corvane,dc=bench read"
           " by anonymous auth by * none\n"
           "access to * by dn.exact=cn=corvane,dc=bench read by * none\n";
    FILE *p = popen((std::string("/usr/sbin/slappasswd -s ") + PASSWORD).c_str(), "r");
    char hash[128] = "";
    if (!p || !fgets(hash, sizeof hash, p)) fail("cannot run slappasswd");
    pclose(p);
    hash[strcspn(hash, "\n")] = 0;
    std::string ldif = "dn: dc=bench\nobjectClass: domain\ndc: bench\n\n"
                       "dn: ou=people,dc=bench\nobjectClass: organizationalUnit\nou: people\n\n"
                       "dn: cn=corvane,dc=bench\nobjectClass: organizationalRole\n"
                       "objectClass: simpleSecurityObject\ncn: corvane\nuserPassword: " +
                       std::string(hash) + "\n\n";
    for (int i = 0; i < USERS; i++)
        ldif += "dn: uid=" + user(i) +
                ",ou=people,dc=bench\nobjectClass: inetOrgPerson\nuid: " + user(i) + "\ncn: User " +
                std::to_string(i) + "\nsn: " + user(i) + "\nuserPassword: " + hash + "\n\n";
    std::ofstream(dir + "/users.ldif") << ldif;
    std::ofstream(dir + "/secret") << PASSWORD << "\n";
    chmod((dir + "/secret").c_str(), 0600); // the module refuses a secret others may read
    std::string uri = "ldapi://";
    for (char c : dir + "/ldapi") uri += c == '/' ? std::string("%2F") : std::string(1, c);
    if (!shell(dir, "/usr/sbin/slapadd -q -f slapd.conf -l users.ldif") ||
        !shell(dir, std::string(SLAPD_BIN) + " -f slapd.conf -h " + uri))
        fail("cannot start slapd in " + dir);
    for (double t0 = now(); !shell(dir, "ldapwhoami -x -H " + uri); usleep(100000))
        if (now() - t0 > SERVER_WAIT)
            fail("slapd did not answer on " + uri + " within two minutes");
    return "-uri " + uri + " -base ou=people,dc=bench -binddn cn=corvane,dc=bench -bindpw-file " +
           dir + "/secret -attrs cn";
}

// Ends the slapd of start_slapd(), which removes its pid file last thing.
void stop_slapd()
{
    std::string pidfile = S.dir + "/slapd/slapd.pid";
    std::ifstream f(pidfile);
    pid_t pid = 0;
    if (!(f >> pid) || pid <= 0 || kill(pid, SIGTERM) != 0) return;
    for (double t0 = now(); std::filesystem::exists(pidfile); usleep(50000))
        if (now() - t0 > SERVER_WAIT) return (void)kill(pid, SIGKILL);
}

int bench(int argc, char **argv)
{
    bool nopin = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-runs" && i + 1 < argc)
            S.runs = std::max(1, atoi(argv[++i]));
        else if (a == "-n" && i + 1 < argc)
            S.n = std::max(100, atoi(argv[++i]));
        else if (a == "-keep")
            S.keep = true;
        else if (a == "-nopin")
            nopin = true;
        else if (a == "-only" && i + 1 < argc)
            S.only = argv[++i];
        else
            fail("usage: corvane-bench [-runs N] [-n ROUNDTRIPS] [-keep] [-nopin] [-only GROUP]");
    }
    signal(SIGPIPE, SIG_IGN);
    static cpu_set_t allowed;
    if (!nopin && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        S.allowed = &allowed;
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
            if (!CPU_ISSET(cpu, &allowed)) continue;
            if (S.client < 0) S.client = cpu;
            S.chain = cpu;
        }
        // With one CPU the pipelined client shares it with the chain.
    }
    const std::string corvane_bin = CORVANE_BIN, module = MODULE_FILE_BIN, echo = BENCH_ECHO_BIN;
    char tmpl[] = "/tmp/corvane-bench.XXXXXX";
    if (!mkdtemp(tmpl)) fail("mkdtemp: " + std::string(strerror(errno)));
    S.dir = tmpl;
    std::string before = load();

    fprintf(stderr, "corvane-bench: stores in %s\n", S.dir.c_str());
    std::string yescrypt = make_hash("yescrypt");
    write_store(S.dir + "/users.passwd", 'u', "User", yescrypt);
    write_store(S.dir + "/others.passwd", 'o', "Other", yescrypt);
    write_store(S.dir + "/users-sha512.passwd", 'u', "User", make_hash("sha512crypt"));
    std::string one = configure("one", module, {"users.passwd"});
    std::string two = configure("two", module, {"others.passwd", "users.passwd"});
    std::string five = configure(
        "five", module,
        {"others.passwd", "others.passwd", "others.passwd", "others.passwd", "users.passwd"});
    std::string ten = configure("ten", module,
                                {"others.passwd", "others.passwd", "others.passwd", "others.passwd",
                                 "others.passwd", "others.passwd", "others.passwd", "others.passwd",
                                 "others.passwd", "users.passwd"});
    std::string first = configure("first", module, {"users.passwd", "others.passwd"});
    std::string sha512 = configure("sha512", module, {"users-sha512.passwd"});
    std::string echo_dir = configure("echo", echo, {""});
    // Four that refuse, then one that answers: Corvane's cost of a walk.
    std::string echo5_dir = configure("echo5", echo, {"-ERR", "-ERR", "-ERR", "-ERR", ""});

    auto want = [](const char *group) { return S.only.empty() || S.only == group; };
    // A step that cannot run is told; its children and servers are ended and
    // the other steps run on.
    std::vector<std::string> failed;
    auto step = [&](bool wanted, const char *group, const std::function<void()> &body) {
        try {
            if (wanted) body();
        } catch (const step_failure &e) {
            fprintf(stderr, "corvane-bench: the %s step could not run: %s\n", group, e.what());
            failed.push_back(std::string(group) + ": " + e.what());
            end_children();
            pg_stop();
            stop_slapd();
            if (!EtcPam.empty()) unlink(EtcPam.c_str()), EtcPam.clear();
        }
    };
    // A ratio to a figure this run did not measure is left out.
    auto ratio = [](double v, double base) { return base > 0 ? v / base : -1; };
    auto holds = [](bool ok, double base) { return base > 0 ? static_cast<int>(ok) : -1; };

    // 1, 2: the limit and the channel.
    double raw = 0;
    place(S.chain, S.chain);
    step(want("raw"), "raw", [&] {
        raw = median(repeat(S.runs, [&] { return raw_run(echo); }));
        add("raw pipe round trips", "/s", raw, 1, "", -1);
        // What five modules cost at the least: the same child five times,
        // asked in turn; each exchange then switches to another process.
        double raw5 = median(repeat(S.runs, [&] { return raw_run(echo, 5); }));
        add("raw, five children asked in turn", "/s", raw5, ratio(raw5, raw), "", -1);
        if (S.client != S.chain) {
            // Why chains are kept on one CPU: the same exchange across two.
            place(S.client, S.chain);
            double across = median(repeat(S.runs, [&] { return raw_run(echo); }));
            add("raw, client and child on two CPUs (not the limit)", "/s", across,
                ratio(across, raw), "", -1);
            place(S.chain, S.chain);
        }
    });
    step(want("channel"), "channel", [&] {
        double chan = median(repeat(S.runs, [&] { return channel_run(echo); }));
        add("channel: spawn_printf + spawn_gets", "/s", chan, ratio(chan, raw), ">= 0.90 raw",
            holds(chan >= 0.9 * raw, raw));
    });

    // 3, 4, 5: lookups through Corvane.
    auto lookups = [&](const std::string &dir, int count,
                       const std::function<exchange(int)> &make = lookup_of, collect how = BATCH) {
        place(S.client, S.chain);
        return median(repeat(S.runs, [&] {
            corvane v = start_corvane(corvane_bin, dir, make(0).reply);
            double rate = pipelined(v, count, make, false, how);
            stop_corvane(v);
            return rate;
        }));
    };
    double l1 = 0;
    step(want("pipelined") || want("modules"), "pipelined", [&] {
        l1 = lookups(one, S.n);
        add("lookups, 1 module, pipelined", "/s", l1, ratio(l1, raw), ">= 0.80 raw",
            holds(l1 >= 0.8 * raw, raw));
    });
    step(want("pipelined"), "pipelined", [&] {
        // Corvane's own share: bench-echo in the module's place answers at
        // once, so what is left beyond raw is Corvane's.
        double le = lookups(echo_dir, S.n, echo_of);
        add("lookups, bench-echo as the module, pipelined", "/s", le, ratio(le, raw), "", -1);
        double ls = lookups(one, S.n, lookup_of, STREAMING);
        add("lookups, 1 module, pipelined, client woken per reply", "/s", ls, ratio(ls, raw), "",
            -1);
    });
    step(want("lockstep"), "lockstep", [&] {
        place(S.chain, S.chain);
        auto steps = [&](const std::string &dir, const std::function<exchange(int)> &make) {
            return median(repeat(S.runs, [&] {
                corvane v = start_corvane(corvane_bin, dir, make(0).reply);
                double rate = lockstep(v, S.n / 2, make);
                stop_corvane(v);
                return rate;
            }));
        };
        double ls = steps(one, lookup_of);
        add("lookups, 1 module, lock-step", "/s", ls, ratio(ls, raw), ">= 0.45 raw",
            holds(ls >= 0.45 * raw, raw));
        double le = steps(echo_dir, echo_of);
        add("lookups, bench-echo as the module, lock-step", "/s", le, ratio(le, raw), "", -1);
    });
    step(want("modules"), "modules", [&] {
        if (l1 <= 0) fail("no figure for one module to set these against");
        // "About a fifth and no worse": within 5 % of the share, or above it.
        double l2 = lookups(two, S.n / 2);
        char t[64];
        snprintf(t, sizeof t, ">= 1/2 of 1 module (%.2f)", l2 / l1);
        add("lookups, 2 modules (last knows), pipelined", "/s", l2, ratio(l2, raw), t,
            l2 >= 0.95 * l1 / 2);
        double l5 = lookups(five, S.n / 5);
        snprintf(t, sizeof t, ">= 1/5 of 1 module (%.2f)", l5 / l1);
        add("lookups, 5 modules (last knows), pipelined", "/s", l5, ratio(l5, raw), t,
            l5 >= 0.95 * l1 / 5);
        double e5 = lookups(echo5_dir, S.n / 5, echo_of);
        add("lookups, 5 bench-echo modules (last answers), pipelined", "/s", e5, ratio(e5, raw), "",
            -1);
    });

    // 6: one command as a whole process.
    place(-1, -1);
    step(want("command"), "command", [&] {
        double wall =
            median(repeat(std::max(S.runs, 11), [&] { return command_run(corvane_bin, first); }));
        add("corvane -lookup, 2 modules, wall", "ms", wall * 1000, -1, "< 10 ms", wall < 0.010);
    });

    // 7: checks, dominated by the hash.
    auto checks = [&](const std::string &dir, const char *method, const char *kind = "file") {
        auto check_of = [method, kind](int i) {
            int u = nth(i);
            return exchange{"check " + user(u) + " " + PASSWORD + " 127.0.0.1\n",
                            "+OK " + user(u) + " " + kind + " " + method};
        };
        // Enough checks for about half a second, from three timed ones.
        corvane probe = start_corvane(corvane_bin, dir);
        double rate = pipelined(probe, 3, check_of, true);
        stop_corvane(probe);
        int count = std::clamp(static_cast<int>(0.5 * rate), 10, 5000);
        return median(repeat(S.runs, [&] {
            corvane v = start_corvane(corvane_bin, dir);
            double r = pipelined(v, count, check_of, true);
            stop_corvane(v);
            return r;
        }));
    };
    step(want("checks"), "checks", [&] {
        add("checks, yescrypt", "/s", checks(one, "yescrypt"), -1, "", -1);
        add("checks, sha512crypt", "/s", checks(sha512, "sha512crypt"), -1, "", -1);
        std::string uri = pg_start(S.dir + "/pgsql", yescrypt);
        if (!uri.empty()) {
            std::string pg =
                configure("pgsql", PGSQL_MODULE_BIN, {"-conninfo " + uri + " -readonly"});
            add("checks, yescrypt, through PostgreSQL", "/s", checks(pg, "yescrypt", "pgsql"), -1,
                "", -1);
            pg_stop();
        }
    });

    // 8: Corvane's own memory, after traffic through all ten modules.
    step(want("memory"), "memory", [&] {
        double peak = median(repeat(std::min(S.runs, 3), [&] {
            corvane v = start_corvane(corvane_bin, ten);
            pipelined(v, 1000, lookup_of, false);
            long kib = peak_kib(v.c.pid);
            stop_corvane(v);
            return kib / 1024.0;
        }));
        add("Corvane peak RSS, 10 modules", "MiB", peak, -1, "< 8 MiB", peak < 8);
        // Loading grows with the file, not its square: a configuration of
        // 100,000 module sections (it took 100 s when every section was
        // searched for again).
        std::string many = S.dir + "/many.ini";
        {
            std::ofstream ini(many);
            for (int i = 0; i < 100000; i++) ini << "module " << i << "\nbinary /bin/true\n";
        }
        double load = median(repeat(std::min(S.runs, 3), [&] {
            adt::SIniTable table[] = {{0, "binary", adt::SM_NONE, nullptr, -1, "VALUE"},
                                      {-1, nullptr, adt::SM_NONE, nullptr, -1, nullptr}};
            adt::SIni ini = adt::sini_init(table);
            double t0 = now();
            if (!adt::sini_load(ini, many.c_str(), "module") || adt::sini_domains(ini) != 100000)
                fail("the configuration of many modules did not load");
            double took = now() - t0;
            adt::sini_free(&ini);
            return took;
        }));
        add("configuration of 100,000 module sections loaded", "s", load, -1, "< 1 s", load < 1);
    });

    // 9: the LDAP module over a local slapd: what a check costs when the
    // directory decides (a search as the service account, then a bind).
    step(want("ldap"), "ldap", [&] {
        place(-1, -1);
        std::string options = start_slapd();
        if (options.empty()) {
            fprintf(stderr, "corvane-bench: no %s, no LDAP rows\n", SLAPD_BIN);
        } else {
            std::string ldap = configure("ldap", MODULE_LDAP_BIN, {options});
            auto ldap_of = [](bool check) {
                return [check](int i) {
                    std::string name = user(nth(i)), extra = "cn=User%20" + std::to_string(nth(i));
                    if (!check)
                        return exchange{"lookup " + name + "\n", "+OK " + name + " " + extra};
                    return exchange{"check " + name + " " + PASSWORD + " 127.0.0.1\n",
                                    "+OK " + name + " ldap ldap " + extra};
                };
            };
            auto rate = [&](const std::function<exchange(int)> &make, int count) {
                return median(repeat(S.runs, [&] {
                    corvane v = start_corvane(corvane_bin, ldap, "+OK u00000 cn=User%200");
                    double r = pipelined(v, count, make, false);
                    stop_corvane(v);
                    return r;
                }));
            };
            add("lookups, LDAP module (slapd, ldapi), pipelined", "/s", rate(ldap_of(false), 2000),
                -1, "", -1);
            double through = rate(ldap_of(true), 2000);
            add("checks, LDAP module (slapd, ldapi, SSHA), pipelined", "/s", through, -1, "", -1);
            // The same checks asked of the module directly: Corvane's share.
            double alone = median(repeat(S.runs, [&] {
                std::vector<std::string> module_argv = {MODULE_LDAP_BIN};
                std::istringstream words(options);
                for (std::string w; words >> w;) module_argv.push_back(w);
                corvane v;
                v.c = launch(module_argv);
                pipelined(v, 1, ldap_of(true), false); // connections made
                double r = pipelined(v, 2000, ldap_of(true), false);
                finish(v.c);
                return r;
            }));
            char t[64];
            snprintf(t, sizeof t, "through Corvane: %.2f of this", through / alone);
            add("checks, corvane-ldap asked directly, pipelined", "/s", alone, -1, t, -1);
        }
        stop_slapd();
    });

    // 10: the daemon's workers side by side: with a hash that costs the
    // module most of the time, two workers on two CPUs serve nearly twice.
    step(want("daemon"), "daemon", [&] {
        place(-1, -1);
        std::string dd = configure("daemon", module, {"users.passwd"});
        auto rate = [&](int workers) {
            return median(repeat(std::min(S.runs, 3),
                                 [&] { return daemon_run(corvane_bin, dd, workers, 4, 30); }));
        };
        double w1 = rate(1), w2 = rate(2);
        add("daemon: yescrypt checks, 4 clients, 1 worker", "/s", w1, -1, "", -1);
        char t[64];
        snprintf(t, sizeof t, ">= 1.8 x 1 worker (%.2f)", w2 / w1);
        add("daemon: the same, 2 workers", "/s", w2, -1, t, w2 >= 1.8 * w1);
        double login = socket_login_ms(corvane_bin, echo_dir, 200, false);
        double start = socket_login_ms(corvane_bin, echo_dir, 200, true);
        add("login through corvane-checkpassword --socket, free module", "ms", login, -1, "< 1 ms",
            login < 1);
        add("the same harness starting /bin/true instead (the floor)", "ms", start, -1, "", -1);
        // An idle client costs no worker: a login beside 500 of them takes
        // the time it takes alone (daemon and client on one CPU, in turns).
        place(S.chain, S.chain);
        std::string sock = echo_dir + "/s";
        child d = start_daemon(corvane_bin, echo_dir, sock);
        std::vector<double> alone, beside;
        for (int r = 0; r < S.runs; r++)
            alone.push_back(ask_ms(sock, 0)), beside.push_back(ask_ms(sock, 500));
        kill(d.pid, SIGTERM);
        finish(d);
        double a = median(alone), b = median(beside);
        add("daemon: check on a new connection, free module", "ms", a, -1, "", -1);
        snprintf(t, sizeof t, "<= 1.1 x alone (%.2f)", b / a);
        add("daemon: the same beside 500 idle connections", "ms", b, -1, t, b <= 1.1 * a);
    });

    // 11: what throttling and the cache cost and save, over new connections
    // to the daemon: a repeated yescrypt check from the cache beside the same
    // check asked of the module each time; a login that is not throttled with
    // throttling on and off, interleaved; memory under failures from many
    // addresses.
    step(want("protect"), "protect", [&] {
        place(S.chain, S.chain);
        std::string sock = S.dir + "/p.sock";
        const std::string check = "check " + user(nth(0)) + " " + PASSWORD + "\n",
                          ok = "+OK " + user(nth(0));
        auto checks_ms = [&](const std::string &dir, int count) {
            child d = start_daemon(corvane_bin, dir, sock);
            request_ms(sock, check, ok); // the modules warm, the answer kept
            std::vector<double> took;
            for (int i = 0; i < count; i++) took.push_back(request_ms(sock, check, ok));
            kill(d.pid, SIGTERM);
            finish(d);
            return median(took);
        };
        double cached = checks_ms(with_settings(one, "cached", "cache_ttl 300\n"), 2000);
        double asked = checks_ms(with_settings(one, "uncached", "cache_ttl 0\n"), 40);
        add("daemon: repeated yescrypt check, from the cache", "ms", cached, -1, "<= 0.1 ms",
            cached <= 0.1);
        add("daemon: the same check, no cache", "ms", asked, -1, "13 to 15 ms", -1);

        // Throttling on (per address and per user) and off, one daemon each.
        std::string on_sock = S.dir + "/on.sock", off_sock = S.dir + "/off.sock";
        child on = start_daemon(
            corvane_bin, with_settings(echo_dir, "throttled", "fail_limit 5\nuser_fail_limit 5\n"),
            on_sock);
        child off = start_daemon(
            corvane_bin, with_settings(echo_dir, "unthrottled", "fail_limit 0\n"), off_sock);
        const std::string login = "check " + user(nth(1)) + " " + PASSWORD + " 192.0.2.7\n";
        std::vector<double> with, without;
        for (int round = 0; round < 6; round++)
            for (int i = 0; i < 300; i++) {
                with.push_back(request_ms(on_sock, login, "+OK"));
                without.push_back(request_ms(off_sock, login, "+OK"));
            }
        kill(on.pid, SIGTERM);
        kill(off.pid, SIGTERM);
        finish(on);
        finish(off);
        double m_on = median(with), m_off = median(without);
        char t[64];
        snprintf(t, sizeof t, "median within 5%% of off (%.3f)", m_on / m_off);
        add("daemon: login, throttling on, not throttled", "ms", m_on, -1, t, m_on <= 1.05 * m_off);
        add("daemon: the same login, throttling off", "ms", m_off, -1, "", -1);

        // Failures from 200,000 addresses against a table of 1,000 entries.
        std::string refusing = configure("refusing", echo, {"-ERR"});
        child d =
            start_daemon(corvane_bin,
                         with_settings(refusing, "failing",
                                       "workers 2\nfail_limit 1\nfail_delay 0\nfail_entries 1000\n"
                                       "cache_entries 1\n"),
                         sock);
        // Clients at once, each failing from its own addresses, the first
        // at address number from; their lines are sent 100 at a time.
        auto failures = [&](int from, int clients, int each) {
            at_once(clients, [&](int k) {
                int fd = connect_unix(sock);
                line_reader r(fd);
                std::string text, reply;
                for (int i = 0; i < each; i++) {
                    int a = from + k * each + i;
                    text += "check u" + std::to_string(a) + " wrong 10." +
                            std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) +
                            "." + std::to_string(a & 255) + "\n";
                    if (i % 100 != 99) continue;
                    write_all(fd, text.data(), text.size());
                    text.clear();
                    for (int j = 0; j < 100; j++)
                        if (!r.next(&reply) || reply.rfind("-ERR", 0) != 0) return false;
                }
                return true;
            });
        };
        failures(1 << 20, 4, 5000); // the table full, the buffers at their size
        long pss0 = pss_kib(d.pid), bound = shared_bytes(d.pid);
        failures(0, 4, 50000);
        long after = pss_kib(d.pid);
        kill(d.pid, SIGTERM);
        finish(d);
        snprintf(t, sizeof t, "grows <= the bound (%+ld KiB)", after - pss0);
        add("daemon memory (PSS), warm, before 200,000 failing addresses", "KiB", pss0, -1, "", -1);
        add("the same, after", "KiB", after, -1, t, (after - pss0) * 1024 <= bound);
        add("the bound: the shared memory, fail_entries 1000", "bytes", bound, -1, "", -1);
    });

    // 12: logins through PAM. In this process, each a new handle and a new
    // connection to the daemon (bench-echo as its module: free), beside
    // PAM's own floor and pam_exec starting the adapter per login; then
    // Dovecot asked on its auth socket, every store with one md5crypt hash.
    step(want("pam"), "pam", [&] {
        place(S.chain, S.chain);
        std::string sock = echo_dir + "/s", mod = std::string(PAM_MODULE_BIN) + " socket=";
        child d = start_daemon(corvane_bin, echo_dir, sock);
        double corvane = pam_login_ms("corvane", "auth required " + mod + sock + "\n", 2000);
        double permit = pam_login_ms("permit", "auth required pam_permit.so\n", 2000);
        // pam_exec closes every descriptor the limit allows in its child,
        // one by one: measured under the usual soft limit of services.
        rlimit files, usual;
        getrlimit(RLIMIT_NOFILE, &files);
        usual = {std::min<rlim_t>(files.rlim_cur, 1024), files.rlim_max};
        setrlimit(RLIMIT_NOFILE, &usual);
        double exec = pam_login_ms("exec",
                                   "auth required pam_exec.so expose_authtok quiet " ADAPTER_BIN
                                   " --pam --socket " +
                                       sock + "\n",
                                   200);
        setrlimit(RLIMIT_NOFILE, &files);
        // The daemon's share: the same exchange without PAM.
        double alone = median(repeat(S.runs, [&] {
            char reply[ASKD_BUF];
            std::string line = "check " + user(1) + " " + PASSWORD;
            askd_query q = {sock.c_str(), line.c_str(), 30000, "corvane"};
            double t0 = now();
            for (int i = 0; i < 2000; i++)
                if (askd_ask(&q, reply, sizeof reply) != ASKD_OK)
                    fail("the daemon answered '" + std::string(reply) + "'");
            return (now() - t0) * 1000 / 2000;
        }));
        kill(d.pid, SIGTERM);
        finish(d);
        add("PAM login through pam_corvane.so and the daemon, free module", "ms", corvane, -1,
            "< 0.1 ms", corvane < 0.1);
        add("PAM login through pam_permit.so (PAM's floor)", "ms", permit, -1, "", -1);
        add("the daemon's share: connect, check, reply (askd_ask)", "ms", alone, -1, "", -1);
        add("PAM login through pam_exec and corvane-checkpassword --socket, 1024 descriptors", "ms",
            exec, -1, "", -1);
        if (access(DOVECOT_BIN, X_OK) != 0) {
            fprintf(stderr, "corvane-bench: no %s, no Dovecot rows\n", DOVECOT_BIN);
        } else {
            std::string md5 = make_hash("md5crypt"), users;
            write_store(S.dir + "/users-md5.passwd", 'u', "User", md5);
            for (int i = 0; i < USERS; i++) users += user(i) + ":{MD5-CRYPT}" + md5 + "\n";
            std::ofstream(S.dir + "/dovecot.passwd") << users;
            chmod(S.dir.c_str(), 0711); // Dovecot's auth process reads as its own user
            chmod((S.dir + "/dovecot.passwd").c_str(), 0644);
            std::string md5_dir = configure("md5", module, {"users-md5.passwd"});
            std::string msock = md5_dir + "/s";
            child m = start_daemon(corvane_bin, md5_dir, msock);
            EtcPam = "/etc/pam.d/corvane-bench-" + std::to_string(getpid());
            auto through_pam = [&](const std::string &stack) {
                std::ofstream(EtcPam) << stack;
                return dovecot_login_ms(
                    "dovecot-pam",
                    "passdb {\n  driver = pam\n  args = " + EtcPam.substr(11) + "\n}\n", 1000);
            };
            double file = dovecot_login_ms("dovecot-file",
                                           "passdb {\n  driver = passwd-file\n  args = " + S.dir +
                                               "/dovecot.passwd\n}\n",
                                           1000);
            double pam = through_pam("auth required " + mod + msock + "\naccount required " + mod +
                                     msock + "\n");
            double floor = through_pam("auth required pam_permit.so\naccount required "
                                       "pam_permit.so\n");
            unlink(EtcPam.c_str());
            EtcPam.clear();
            kill(m.pid, SIGTERM);
            finish(m);
            add("Dovecot login, its own passwd-file, md5crypt", "ms", file, -1, "", -1);
            char t[64];
            snprintf(t, sizeof t, "<= 4 x passwd-file (%.2f)", pam / file);
            add("Dovecot login, passdb pam, pam_corvane.so and the daemon, md5crypt", "ms", pam, -1,
                t, pam <= 4 * file);
            snprintf(t, sizeof t, "%.2f x passwd-file", floor / file);
            add("Dovecot login, passdb pam, pam_permit.so (the floor)", "ms", floor, -1, t, -1);
        }
    });

    print_table(before);
    for (const std::string &f : failed) printf("Could not run: %s\n", f.c_str());
    if (!S.keep) std::filesystem::remove_all(S.dir);
    return failed.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return bench(argc, argv);
    } catch (const step_failure &e) { // before the steps: nothing measured
        fprintf(stderr, "corvane-bench: %s\n", e.what());
        end_children();
        if (!S.keep && !S.dir.empty()) std::filesystem::remove_all(S.dir);
        return 1;
    }
}
