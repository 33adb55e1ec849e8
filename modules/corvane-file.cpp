// corvane-file: Corvane's module for users kept in a text file of lines
// "name:hash:extra". Comment lines ("#" first) and blank lines are kept as
// they are whenever the file is written again.
//
// Several processes may serve the same file. Every change takes the lock
// file beside it ("FILE.lock"), rereads the file when it changed on disk,
// writes the whole new text to "FILE.tmp" in the same directory, flushes it
// to disk and renames it into place: a crash leaves the old file or the new
// one, never a mix, and no other process's change is lost. Readers need no
// lock, since a file is only ever replaced whole.
#include "modules/modlib.h"
#include "modules/modhash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "adt/lib.h"

struct file_store {
    std::string Path; // the user file
    std::string Lock; // the lock file beside it
    std::string Temp; // where the next version is written
    std::string Dir;  // the directory that holds all three
    int Busy;         // longest wait for the lock, in milliseconds
    int LockFd;       // open lock file, or -1 before the first change
    // The file as last read. Its descriptor stays open so that the inode
    // cannot be reused for another file that would look the same.
    int Fd;                                        // -1: nothing read (or no file)
    struct stat St;                                // Fd's state when it was read
    std::vector<std::string> Lines;                // every line, without its line feed
    std::unordered_map<std::string, size_t> Index; // user name: its first line
    HashCensus Census;                             // the methods of the users' hashes
};
typedef struct file_store FileStore;

// Finds the fields of a user line: its end without a trailing CR and its
// first two colons (c2 is the end when there is no second one). 0 for
// comment, blank and malformed lines, which are never users.
static int _fields(const std::string &line, size_t *end, size_t *c1, size_t *c2)
{
    size_t e = line.size();
    if (e && line[e - 1] == '\r') e--;
    if (!e || line[0] == '#') return 0;
    size_t a = line.find(':');
    if (a == std::string::npos || a == 0 || a >= e) return 0;
    size_t b = line.find(':', a + 1);
    *end = e;
    *c1 = a;
    *c2 = b > e ? e : b;
    return 1;
}

// Splits a user line into its fields; 0 for lines that are no user.
static int _parse(const std::string &line, ModUser *u)
{
    size_t end, c1, c2;
    if (!_fields(line, &end, &c1, &c2)) return 0;
    if (u) {
        u->name.assign(line, 0, c1);
        u->hash.assign(line, c1 + 1, c2 - c1 - 1);
        u->extra = c2 < end ? line.substr(c2 + 1, end - c2 - 1) : std::string();
    }
    return 1;
}

static std::string _compose(const ModUser *u)
{
    return u->name + ":" + u->hash + ":" + u->extra;
}

// Indexes every user line by its name (the first line of a name wins).
// Only the name is taken out: a start reads every line of the store.
static void _index(FileStore *f)
{
    f->Index.clear();
    f->Index.reserve(f->Lines.size());
    f->Census.clear();
    size_t end, c1, c2;
    for (size_t i = 0; i < f->Lines.size(); i++)
        if (_fields(f->Lines[i], &end, &c1, &c2) &&
            f->Index.emplace(f->Lines[i].substr(0, c1), i).second)
            f->Census.add(f->Lines[i].data() + c1 + 1, c2 - c1 - 1);
}

// Drops what was read, so that the next look reads the file again.
static void _forget(FileStore *f)
{
    if (f->Fd >= 0) close(f->Fd);
    f->Fd = -1;
    f->Lines.clear();
    f->Index.clear();
}

static int _same(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
           a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec &&
           a->st_ctim.tv_sec == b->st_ctim.tv_sec && a->st_ctim.tv_nsec == b->st_ctim.tv_nsec;
}

static int _fail(std::string *err, const char *what, const std::string &path, int code)
{
    *err = std::string(what) + " " + path + ": " + strerror(errno);
    return code;
}

// Takes in fd's text as the file's lines.
static int _read_all(FileStore *f, int fd, std::string *err)
{
    std::string text;
    text.reserve(static_cast<size_t>(f->St.st_size));
    char bf[65536];
    for (;;) {
        ssize_t r = read(fd, bf, sizeof bf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return _fail(err, "cannot read", f->Path, MOD_DEAD);
        if (r == 0) break;
        text.append(bf, (size_t)r);
    }
    f->Lines.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        if (lf == std::string::npos) lf = text.size();
        f->Lines.emplace_back(text, at, lf - at);
        at = lf + 1;
    }
    _index(f);
    return MOD_DONE;
}

// Makes the lines those of the file as it is now on disk, reading it again
// only when it changed. A missing file is an empty store.
static int _refresh(FileStore *f, std::string *err)
{
    struct stat st;
    if (stat(f->Path.c_str(), &st) != 0) {
        if (errno != ENOENT) return _fail(err, "cannot read", f->Path, MOD_DEAD);
        _forget(f);
        return MOD_DONE;
    }
    if (f->Fd >= 0 && _same(&st, &f->St)) return MOD_DONE;
    _forget(f);
    int fd = open(f->Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // Gone between the two looks: as good as missing.
        if (errno == ENOENT) return MOD_DONE;
        return _fail(err, "cannot read", f->Path, MOD_DEAD);
    }
    int r = fstat(fd, &f->St) == 0 ? _read_all(f, fd, err)
                                   : _fail(err, "cannot read", f->Path, MOD_DEAD);
    if (r != MOD_DONE) {
        close(fd);
        f->Lines.clear();
        f->Index.clear();
        return r;
    }
    f->Fd = fd;
    return MOD_DONE;
}

// Opens the lock file, creating it when missing. A symbolic link or
// anything but a plain file in its place, which another user of a shared
// directory may have planted there, is refused and never followed: the
// file is opened without following links, and created only where nothing
// is.
static int _open_lock(FileStore *f, std::string *err)
{
    for (int tries = 0; tries < 3 && f->LockFd < 0; tries++) {
        f->LockFd = open(f->Lock.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (f->LockFd < 0 && errno == ENOENT)
            f->LockFd =
                open(f->Lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        // Made by another process between the two opens: open it again.
        if (f->LockFd < 0 && errno != EEXIST) break;
    }
    if (f->LockFd < 0) return _fail(err, "cannot lock", f->Lock, 0);
    struct stat st;
    if (fstat(f->LockFd, &st) == 0 && S_ISREG(st.st_mode)) return 1;
    close(f->LockFd);
    f->LockFd = -1;
    *err = "cannot lock " + f->Lock + ": not a plain file";
    return 0;
}

// Takes the lock, waiting up to Busy milliseconds for another process to
// finish its change, then brings the lines up to date.
static int _begin(FileStore *f, std::string *err)
{
    if (f->LockFd < 0 && !_open_lock(f, err)) return MOD_FAIL;
    for (int waited = 0;; waited += 10) {
        if (flock(f->LockFd, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return _fail(err, "cannot lock", f->Lock, MOD_FAIL);
        if (waited >= f->Busy) {
            *err = "store is busy, " + f->Path + " stays locked by another process";
            return MOD_FAIL;
        }
        adt::my_msleep(10);
    }
    int r = _refresh(f, err);
    if (r != MOD_DONE) flock(f->LockFd, LOCK_UN);
    return r;
}

static void _end(FileStore *f)
{
    flock(f->LockFd, LOCK_UN);
}

// Gives the new file the owner, group and mode of the one it replaces; a
// new file stays owner-only. Without the old owner and group it keeps only
// the owner's permissions, so that no other group gains access.
static void _permissions(FileStore *f, int fd)
{
    if (f->Fd < 0) return;
    mode_t mode = f->St.st_mode & 07777;
    if ((f->St.st_uid != geteuid() || f->St.st_gid != getegid()) &&
        fchown(fd, f->St.st_uid, f->St.st_gid) != 0)
        mode &= 0700;
    fchmod(fd, mode);
}

// Writes the lines as the new file: temporary file, flushed to disk,
// renamed into place, the directory flushed too. On failure the lines are
// dropped (they no longer match the file) and the file stays as it was.
static int _commit(FileStore *f, std::string *err)
{
    std::string text;
    for (const std::string &l : f->Lines) text += l + "\n";
    // A plain file is left behind by a process that died here, and the
    // lock makes it ours now; a link planted there is refused, and the
    // exclusive create follows none that appears after the look.
    struct stat st;
    int planted = lstat(f->Temp.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (planted) errno = S_ISLNK(st.st_mode) ? ELOOP : EEXIST;
    if (!planted) unlink(f->Temp.c_str());
    int fd = planted
                 ? -1
                 : open(f->Temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        _fail(err, "cannot write", f->Temp, MOD_FAIL);
        _forget(f);
        return MOD_FAIL;
    }
    _permissions(f, fd);
    if (!adt::write_all(fd, text.data(), text.size()) || fsync(fd) != 0 ||
        rename(f->Temp.c_str(), f->Path.c_str()) != 0) {
        _fail(err, "cannot write", f->Path, MOD_FAIL);
        close(fd);
        unlink(f->Temp.c_str());
        _forget(f);
        return MOD_FAIL;
    }
    int dir = open(f->Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    if (f->Fd >= 0) close(f->Fd);
    f->Fd = fd;
    fstat(fd, &f->St);
    _index(f);
    return MOD_DONE;
}

static int _find(void *self, const char *name, ModUser *u, std::string *err)
{
    FileStore *f = (FileStore *)self;
    int r = _refresh(f, err);
    if (r != MOD_DONE) return r;
    auto it = f->Index.find(name);
    if (it == f->Index.end()) return MOD_NONE;
    _parse(f->Lines[it->second], u);
    return MOD_DONE;
}

static int _put(void *self, const ModUser *u, std::string *err)
{
    FileStore *f = (FileStore *)self;
    int r = _begin(f, err);
    if (r != MOD_DONE) return r;
    auto it = f->Index.find(u->name);
    if (it != f->Index.end())
        f->Lines[it->second] = _compose(u);
    else
        f->Lines.push_back(_compose(u));
    r = _commit(f, err);
    _end(f);
    return r;
}

static int _update(void *self, const char *name, const char *hash, const char *extra,
                   const char *expect, std::string *err)
{
    FileStore *f = (FileStore *)self;
    int r = _begin(f, err);
    if (r != MOD_DONE) return r;
    auto it = f->Index.find(name);
    ModUser u;
    if (it == f->Index.end() || !_parse(f->Lines[it->second], &u) || (expect && u.hash != expect)) {
        _end(f);
        return MOD_NONE;
    }
    if (hash) u.hash = hash;
    if (extra) u.extra = extra;
    f->Lines[it->second] = _compose(&u);
    r = _commit(f, err);
    _end(f);
    return r;
}

static int _remove(void *self, const char *name, std::string *err)
{
    FileStore *f = (FileStore *)self;
    int r = _begin(f, err);
    if (r != MOD_DONE) return r;
    if (!f->Index.count(name)) {
        _end(f);
        return MOD_NONE;
    }
    // Every line of the name goes, so that no older record shows up again.
    ModUser u;
    std::vector<std::string> kept;
    for (std::string &l : f->Lines)
        if (!_parse(l, &u) || u.name != name) kept.push_back(std::move(l));
    f->Lines.swap(kept);
    r = _commit(f, err);
    _end(f);
    return r;
}

static int _each(void *self, ModEachFn fn, void *ctx, std::string *err)
{
    FileStore *f = (FileStore *)self;
    int r = _refresh(f, err);
    if (r != MOD_DONE) return r;
    std::vector<size_t> order;
    order.reserve(f->Index.size());
    for (const auto &e : f->Index) order.push_back(e.second);
    // Byte order of the names, as the comparison of std::string gives it.
    std::vector<ModUser> users(order.size());
    for (size_t i = 0; i < order.size(); i++) _parse(f->Lines[order[i]], &users[i]);
    std::sort(users.begin(), users.end(),
              [](const ModUser &a, const ModUser &b) { return a.name < b.name; });
    for (const ModUser &u : users) fn(ctx, &u);
    return MOD_DONE;
}

static const std::string &_typical(void *self)
{
    return ((FileStore *)self)->Census.typical();
}

// Opens the store of the options: reads the file, or, unless read-only,
// creates it empty with mode 0600 when it is missing.
static int _open(FileStore *f, const ModOptions *o, std::string *err)
{
    f->Path = o->File;
    f->Lock = o->File + ".lock";
    f->Temp = o->File + ".tmp";
    size_t slash = o->File.rfind('/');
    f->Dir = slash == std::string::npos ? "." : slash == 0 ? "/" : o->File.substr(0, slash);
    f->Busy = o->Busy;
    if (_refresh(f, err) != MOD_DONE) return 0;
    if (f->Fd >= 0) return 1;
    if (o->ReadOnly) {
        errno = ENOENT;
        _fail(err, "cannot open", f->Path, MOD_DEAD);
        return 0;
    }
    if (_begin(f, err) != MOD_DONE) return 0;
    int r = f->Fd >= 0 ? MOD_DONE : _commit(f, err);
    _end(f);
    return r == MOD_DONE;
}

int main(int argc, char **argv)
{
    mod_start();
    FileStore f;
    f.Busy = 0;
    f.LockFd = -1;
    f.Fd = -1;
    ModOptions o;
    ModStore s = {"file", &f, _find, _put, _update, _remove, _each, _typical};
    std::string err;
    int ok = mod_options_parse(&o, argc, argv, &err) && _open(&f, &o, &err);
    int status = mod_run(&s, &o, ok ? nullptr : err.c_str());
    _forget(&f);
    if (f.LockFd >= 0) close(f.LockFd);
    return status;
}
