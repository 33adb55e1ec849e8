// The files a module trusts, checked against the other users of the machine.
#include "modules/modsafe.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

std::string octal(mode_t mode)
{
    char bf[16];
    snprintf(bf, sizeof bf, "%04o", static_cast<unsigned>(mode & 07777));
    return bf;
}

// Why the owner uid may not be trusted, or "" when it may: root, and the
// user the module runs as, are the only ones.
std::string foreign_owner(uid_t uid)
{
    uid_t self = geteuid();
    if (uid == 0 || uid == self) return "";
    return "owned by uid " + std::to_string(uid) + ", neither root nor uid " +
           std::to_string(self) + " that the module runs as";
}

// The real path of path, links resolved; for a missing file that of its
// directory with the file's own name after it. 0 when neither resolves.
int resolve(const char *path, std::string *real, bool *missing)
{
    char bf[PATH_MAX];
    *missing = false;
    if (realpath(path, bf)) {
        *real = bf;
        return 1;
    }
    if (errno != ENOENT) return 0;
    std::string p = path, dir = ".", name = p;
    size_t slash = p.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : p.substr(0, slash), name = p.substr(slash + 1);
    if (!realpath(dir.c_str(), bf)) return 0;
    *missing = true;
    *real = std::string(bf) + (strcmp(bf, "/") == 0 ? "" : "/") + name;
    return 1;
}

// Why the directory dir may not hold a trusted file, or "".
std::string unsafe_directory(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return "cannot look at its directory " + dir + ": " + strerror(errno);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "its directory " + dir + " may be written by group or others (mode " +
               octal(st.st_mode) + ")";
    std::string owner = foreign_owner(st.st_uid);
    return owner.empty() ? "" : "its directory " + dir + " is " + owner;
}

// Why the file of st may not be trusted for its use, or "".
std::string unsafe_file(const struct stat &st, bool secret)
{
    if (!S_ISREG(st.st_mode)) return "not a plain file";
    std::string owner = foreign_owner(st.st_uid);
    if (!owner.empty()) return owner;
    if (secret && (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)))
        return "group or others may read or write it (mode " + octal(st.st_mode) + ")";
    if (!secret && (st.st_mode & (S_IWGRP | S_IWOTH)))
        return "group or others may write it (mode " + octal(st.st_mode) + ")";
    return "";
}

} // namespace

int mod_file_check(const char *path, int use, std::string *why)
{
    if (!path || !why) return MOD_FILE_UNSAFE;
    bool secret = use == MOD_FILE_SECRET, missing;
    std::string real, problem;
    struct stat st = {};
    if (!resolve(path, &real, &missing) || (!missing && stat(real.c_str(), &st) != 0))
        problem = std::string("cannot look at it: ") + strerror(errno);
    else if (!missing)
        problem = unsafe_file(st, secret);
    if (problem.empty())
        problem = unsafe_directory(real.substr(0, std::max<size_t>(real.rfind('/'), 1)));
    if (!problem.empty()) {
        *why = std::string(secret ? "unsafe secret " : "unsafe store ") + path + ": " + problem;
        return MOD_FILE_UNSAFE;
    }
    if (!missing && !secret && (st.st_mode & S_IROTH)) {
        *why = std::string("store ") + path + " may be read by others (mode " + octal(st.st_mode) +
               ")";
        return MOD_FILE_EXPOSED;
    }
    return MOD_FILE_SAFE;
}

int mod_file_trust(const char *path, int use, std::string *why)
{
    std::string text;
    int r = mod_file_check(path, use, &text);
    if (r == MOD_FILE_UNSAFE) {
        if (why) *why = text;
        return 0;
    }
    if (r == MOD_FILE_EXPOSED) {
        openlog(nullptr, LOG_PID | LOG_PERROR, LOG_AUTHPRIV);
        syslog(LOG_WARNING, "warning: %s", text.c_str());
        closelog();
    }
    return 1;
}
