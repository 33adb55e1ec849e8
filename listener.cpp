// Listener: the daemon's socket, bound safely or handed over.
#include "listener.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "adt/lib.h"

using namespace adt;

namespace
{

// The descriptor systemd hands its first socket on.
const int HANDED_FD = 3;

// Fills a with the socket address of path; 0 when the path does not fit.
int socket_address(struct sockaddr_un *a, const char *path)
{
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (!path || strlen(path) >= sizeof a->sun_path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    strcpy(a->sun_path, path);
    return 1;
}

// 1 when a daemon listens at path: it takes the connection, or its backlog
// is full (alive, only busy). A socket file no one listens on refuses at
// once, so nothing here waits.
int answered(const char *path)
{
    struct sockaddr_un a;
    if (!socket_address(&a, path)) return 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 0;
    int ok = connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0 || errno == EAGAIN;
    close(fd);
    return ok;
}

// In own, a directory just made for it, binds the socket as "s", gives it
// mode and group there, where no one else can reach it, and links it whole
// to l->path (relative to the directory here): no link put at the path
// can catch the mode or group. 0 with errno set (or the reason in *why).
int bind_inside(Listener *l, const char *own, int here, mode_t mode, gid_t gid, std::string *why)
{
    int d = open(own, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    // What is entered must still be ours alone.
    bool mine = d >= 0 && fstat(d, &st) == 0 && st.st_uid == geteuid() && !(st.st_mode & 077);
    if (!mine || fchdir(d) != 0) {
        if (d >= 0) close(d);
        errno = mine ? errno : EPERM;
        return 0;
    }
    close(d);
    struct sockaddr_un a;
    socket_address(&a, "s");
    mode_t mask = umask(0177);
    int bound = bind(l->fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    umask(mask);
    if (bound && chmod("s", mode) != 0) bound = 0;
    if (bound && gid != static_cast<gid_t>(-1) && chown("s", static_cast<uid_t>(-1), gid) != 0) {
        *why = "cannot give it the group " + std::to_string(gid) + ": " + strerror(errno);
        bound = 0;
    }
    // A link never replaces: what came to the path meanwhile stays.
    bound = bound && lstat("s", &st) == 0 && linkat(AT_FDCWD, "s", here, l->path, 0) == 0;
    int e = errno;
    unlink("s");
    if (fchdir(here) != 0) return 0;
    l->dev = st.st_dev;
    l->ino = st.st_ino;
    errno = e;
    return bound;
}

} // namespace

int listener_take(Listener *l, std::string *why)
{
    const char *pid = getenv("LISTEN_PID"), *fds = getenv("LISTEN_FDS");
    if (!pid || !fds || number_or(pid, -1) != static_cast<int>(getpid())) return 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    struct stat st;
    if (number_or(fds, 0) != 1 || fstat(HANDED_FD, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        *why = "socket activation: expected one socket on descriptor " + std::to_string(HANDED_FD);
        return -1;
    }
    l->fd = HANDED_FD;
    l->activated = true;
    fcntl(l->fd, F_SETFD, FD_CLOEXEC);
    fcntl(l->fd, F_SETFL, fcntl(l->fd, F_GETFL) | O_NONBLOCK);
    return 1;
}

int listener_bind(Listener *l, const char *path, mode_t mode, gid_t gid, std::string *why)
{
    l->path = path;
    struct sockaddr_un a;
    struct stat st;
    if (!socket_address(&a, path)) {
        *why = strerror(errno);
        return 0;
    }
    if (lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *why = "it exists and is not a socket";
            return 0;
        }
        if (answered(path)) {
            *why = "a daemon answers there";
            return 0;
        }
        unlink(path); // a stale socket file
    }
    // A directory of our own beside the path, on the same file system.
    std::string own = path;
    size_t slash = own.rfind('/');
    own = (slash == std::string::npos ? "./" : own.substr(0, slash + 1)) + ".corvane-XXXXXX";
    int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    l->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool made = here >= 0 && l->fd >= 0 && mkdtemp(own.data());
    int bound = made && bind_inside(l, own.c_str(), here, mode, gid, why);
    int e = errno;
    if (made) rmdir(own.c_str());
    if (here >= 0) close(here);
    if (bound && listen(l->fd, SOMAXCONN) != 0) {
        e = errno;
        unlink(path);
        bound = 0;
    }
    if (!bound) {
        if (why->empty()) *why = strerror(e);
        if (l->fd >= 0) close(l->fd);
        l->fd = -1;
    }
    return bound;
}

int listener_close(Listener *l)
{
    if (l->fd >= 0) close(l->fd);
    l->fd = -1;
    struct stat st;
    if (l->activated || !l->path || lstat(l->path, &st) != 0 || st.st_dev != l->dev ||
        st.st_ino != l->ino)
        return 1;
    return unlink(l->path) == 0;
}
