// Self-check: a module program asked to check itself (corvane -t).
#include "selfcheck.h"

#include "adt/lib.h"
#include "adt/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

using namespace adt;

namespace
{

const char Warning[] = "warning: ";

// The least time a self-check is given, whatever the module's time-out: a
// program's start alone may take longer than a fast module's reply.
const int LEAST_MS = 5000;

// command with "-t" after its first word, the program.
std::string with_t(const char *command)
{
    std::string c = command;
    size_t end = c.find_first_of(" \t\r\n");
    return end == std::string::npos ? c + " -t" : c.substr(0, end) + " -t" + c.substr(end);
}

} // namespace

SelfCheck selfcheck_module(const char *command, const char *dir, int timeout_ms, int uid, int gid)
{
    SelfCheck r;
    std::string asked = with_t(command ? command : "");
    pSpawn x = spawn_init(uid, gid);
    spawn_copy_env(x, environ);
    if (!spawn_start_in(x, asked.c_str(), dir) || spawn_exec_error(x)) {
        r.failed = true;
        r.failure = spawn_exec_error(x) ? spawn_exec_error(x) : "could not be started";
        spawn_free(&x, 0);
        return r;
    }
    spawn_end_input(x);
    if (timeout_ms < LEAST_MS) timeout_ms = LEAST_MS;
    struct timespec until = spawn_deadline(timeout_ms);
    std::vector<std::string> others;
    char line[WIRE_BUF];
    while (spawn_gets(x, line, sizeof line, nullptr, static_cast<int>(spawn_left(&until))) >= 0) {
        if (strncmp(line, Warning, sizeof Warning - 1) == 0)
            r.warnings.push_back(line + sizeof Warning - 1);
        else
            others.push_back(line);
    }
    int status = spawn_exit_status(x, static_cast<int>(spawn_left(&until)));
    char how[WIRE_BUF];
    if (status != 0) {
        r.failed = true;
        r.problems = others;
        if (!spawn_ended(x, how, sizeof how, 0)) {
            // Still ours, not reaped: the pid names no other process.
            kill(spawn_get_pid(x), SIGKILL);
            lprintf(how, sizeof how, "did not end within %d ms: killed", timeout_ms);
            r.failure = how;
        } else if (status < 0 || others.empty()) {
            r.failure = how;
        }
    }
    spawn_free(&x, 0);
    return r;
}
