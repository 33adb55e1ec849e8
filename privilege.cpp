// Privilege: taking on the identity modules run as, and what it may do.
#include "privilege.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "adt/lib.h"
#include "peers.h"

namespace
{

std::string user_name(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid)
{
    struct group *g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

} // namespace

int runas_resolve(const char *user, const char *group, RunAs *r, std::string *why)
{
    *r = RunAs();
    r->uid = geteuid();
    r->gid = getegid();
    r->user = user_name(r->uid);
    if (!user || geteuid() != 0) return 1;
    long uid = peers_uid(user);
    struct passwd *pw = uid >= 0 ? getpwuid(static_cast<uid_t>(uid)) : nullptr;
    if (!pw) {
        *why = "no such user '" + std::string(user) + "'";
        return 0;
    }
    r->change = true;
    r->uid = pw->pw_uid;
    r->gid = pw->pw_gid;
    r->user = pw->pw_name;
    if (group) {
        long gid = peers_gid(group);
        if (gid < 0) {
            *why = "no such group '" + std::string(group) + "'";
            return 0;
        }
        r->gid = static_cast<gid_t>(gid);
    }
    int n = 64;
    r->groups.resize(n);
    if (getgrouplist(pw->pw_name, r->gid, r->groups.data(), &n) < 0) {
        r->groups.resize(n);
        getgrouplist(pw->pw_name, r->gid, r->groups.data(), &n);
    }
    r->groups.resize(n);
    return 1;
}

int runas_become(const RunAs &r, std::string *why)
{
    if (!r.change) return 1;
    if (setgroups(r.groups.size(), r.groups.data()) != 0 || setresgid(r.gid, r.gid, r.gid) != 0 ||
        setresuid(r.uid, r.uid, r.uid) != 0) {
        *why = "cannot become user " + r.user + ": " + strerror(errno);
        return 0;
    }
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    getresuid(&ru, &eu, &su);
    getresgid(&rg, &eg, &sg);
    bool held =
        ru != r.uid || eu != r.uid || su != r.uid || rg != r.gid || eg != r.gid || sg != r.gid;
    // Dropped for good only if root cannot be had again.
    if (held || (r.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) ||
        (r.gid != 0 && (setgid(0) == 0 || setegid(0) == 0))) {
        *why = "became user " + r.user + " but could take root back";
        return 0;
    }
    return 1;
}

namespace
{

// One finding if path is not open to the access bits of mode for us.
void need(const std::string &path, int mode, const char *what, const std::string &user,
          std::string *out)
{
    if (access(path.c_str(), mode) == 0) return;
    int e = errno;
    struct stat st;
    char text[adt::PATH_BUF * 2];
    if (stat(path.c_str(), &st) != 0)
        adt::lprintf(text, sizeof text, "%s: the user %s cannot %s it: %s", path.c_str(),
                     user.c_str(), what, strerror(e));
    else
        adt::lprintf(text, sizeof text,
                     "%s (owner %s, group %s, mode %04o): the user %s cannot %s it", path.c_str(),
                     user_name(st.st_uid).c_str(), group_name(st.st_gid).c_str(),
                     static_cast<unsigned>(st.st_mode & 07777), user.c_str(), what);
    *out += std::string(text) + "\n";
}

// The findings, as the identity we now have, one a line.
std::string findings_here(const char *state_dir, bool writable, const char *log_dir,
                          const char *log_file, const std::string &user)
{
    std::string out;
    if (state_dir) {
        need(state_dir, writable ? R_OK | W_OK | X_OK : R_OK | X_OK,
             writable ? "enter, read and write in" : "enter and read", user, &out);
        DIR *d = writable ? opendir(state_dir) : nullptr;
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            std::string path = std::string(state_dir) + "/" + e->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                need(path, R_OK | W_OK, "read and write", user, &out);
        }
        if (d) closedir(d);
    }
    if (log_file) {
        std::string file = std::string(log_dir) + "/" + log_file;
        struct stat st;
        if (lstat(file.c_str(), &st) == 0) need(file, W_OK, "write", user, &out);
        need(log_dir, W_OK | X_OK, "write in", user, &out);
    }
    return out;
}

} // namespace

namespace
{

// The findings as user r, from a child that takes on r's identity.
std::string findings_as(const RunAs &r, const char *state_dir, bool writable, const char *log_dir,
                        const char *log_file)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string why, out;
        out = runas_become(r, &why) ? findings_here(state_dir, writable, log_dir, log_file, r.user)
                                    : why + "\n";
        adt::write_all(p[1], out.data(), out.size());
        _exit(0);
    }
    close(p[1]);
    std::string got;
    char bf[4096];
    for (ssize_t n; pid > 0 && (n = read(p[0], bf, sizeof bf)) != 0;)
        if (n > 0)
            got.append(bf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    close(p[0]);
    if (pid > 0)
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    return got;
}

} // namespace

void runas_check_access(const RunAs &r, const char *state_dir, bool writable, const char *log_dir,
                        const char *log_file, std::vector<std::string> *findings)
{
    // Already that user: no child is needed.
    std::string got = r.change ? findings_as(r, state_dir, writable, log_dir, log_file)
                               : findings_here(state_dir, writable, log_dir, log_file, r.user);
    for (size_t at = 0, lf; (lf = got.find('\n', at)) != std::string::npos; at = lf + 1)
        findings->push_back(got.substr(at, lf - at));
}
