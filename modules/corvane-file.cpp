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
#include "modules/corvane-file.h"
#include "modules/modhash.h"
#include "modules/modsafe.h"
#include "modules/modstore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "adt/lib.h"

namespace
{

// What a line of the file is.
enum { LINE_MALFORMED = -1, LINE_OTHER = 0, LINE_USER = 1 };

// Finds the fields of a user line: its end without a trailing CR and its
// first two colons (c2 is the end when there is no second one). Comment
// lines and lines of blanks are LINE_OTHER; a line without a colon, or
// whose name could never be asked for, is LINE_MALFORMED: skipping it
// would make its user look unknown.
int fields(const std::string &line, size_t *end, size_t *c1, size_t *c2)
{
    size_t e = line.size();
    if (e && line[e - 1] == '\r') e--;
    if (line[0] == '#' || line.find_first_not_of(" \t") >= e) return LINE_OTHER;
    size_t a = line.find(':');
    if (a >= e || !mod_name_ok(line.substr(0, a).c_str())) return LINE_MALFORMED;
    size_t b = line.find(':', a + 1);
    *end = e;
    *c1 = a;
    *c2 = b > e ? e : b;
    return LINE_USER;
}

// Splits a user line into its fields; 0 for lines that are no user.
int parse(const std::string &line, ModUser *u)
{
    size_t end, c1, c2;
    if (fields(line, &end, &c1, &c2) != LINE_USER) return 0;
    u->name.assign(line, 0, c1);
    u->hash.assign(line, c1 + 1, c2 - c1 - 1);
    u->extra = c2 < end ? line.substr(c2 + 1, end - c2 - 1) : std::string();
    return 1;
}

std::string compose(const ModUser &u)
{
    return u.name + ":" + u.hash + ":" + u.extra;
}

int same(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
           a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec &&
           a->st_ctim.tv_sec == b->st_ctim.tv_sec && a->st_ctim.tv_nsec == b->st_ctim.tv_nsec;
}

int fail(std::string *err, const char *what, const std::string &path, int code)
{
    *err = std::string(what) + " " + path + ": " + strerror(errno);
    return code;
}

class FileStore : public ModStore
{
  public:
    const char *kind() const override { return "file"; }
    std::vector<ModOption> store_options() override
    {
        return {{.Name = "-file", .Text = &path_}, {.Name = "-busy", .Number = &busy_}};
    }
    int open_store(std::string *err) override;
    void check_store(ModCheck *c) override;
    int find(const char *name, ModUser *u, std::string *err) override;
    int put(const char *name, const char *hash, const char *extra, std::string *err) override;
    int update(const char *name, const char *hash, const char *extra, const char *expect,
               std::string *err) override;
    int remove(const char *name, std::string *err) override;
    int each(const std::function<void(const ModUser &)> &fn, std::string *err) override;
    const std::string &typical() override { return census_.typical(); }

  private:
    void paths();
    int index(std::string *err);
    void forget();
    int read_all(int fd, std::string *err);
    int refresh(std::string *err);
    int open_lock(std::string *err);
    int begin(std::string *err);
    void end() { flock(lock_fd_.get(), LOCK_UN); }
    void permissions(int fd);
    int commit(std::string *err);

    std::string path_; // the user file
    std::string lock_; // the lock file beside it
    std::string temp_; // where the next version is written
    std::string dir_;  // the directory that holds all three
    int busy_ = 5000;  // longest wait for the lock, in milliseconds
    ModFd lock_fd_;    // open lock file, none before the first change
    // The file as last read. Its descriptor stays open so that the inode
    // cannot be reused for another file that would look the same.
    ModFd fd_;                                      // none: nothing read (or no file)
    struct stat st_ = {};                           // fd_'s state when it was read
    std::vector<std::string> lines_;                // every line, without its line feed
    std::unordered_map<std::string, size_t> index_; // user name: its first line
    HashCensus census_;                             // the methods of the users' hashes
};

// Indexes every user line by its name (the first line of a name wins).
// Only the name is taken out: a start reads every line of the store.
// MOD_DEAD at the first malformed line.
int FileStore::index(std::string *err)
{
    index_.clear();
    index_.reserve(lines_.size());
    census_.clear();
    size_t end, c1, c2;
    for (size_t i = 0; i < lines_.size(); i++) {
        int kind = fields(lines_[i], &end, &c1, &c2);
        if (kind == LINE_MALFORMED) {
            *err = "cannot read " + path_ + ": line " + std::to_string(i + 1) +
                   " is not NAME:HASH:EXTRA";
            return MOD_DEAD;
        }
        if (kind == LINE_USER && index_.emplace(lines_[i].substr(0, c1), i).second)
            census_.add(lines_[i].data() + c1 + 1, c2 - c1 - 1);
    }
    return MOD_DONE;
}

// Drops what was read, so that the next look reads the file again.
void FileStore::forget()
{
    fd_.reset();
    lines_.clear();
    index_.clear();
    census_.clear();
}

// Takes in fd's text as the file's lines.
int FileStore::read_all(int fd, std::string *err)
{
    std::string text;
    text.reserve(static_cast<size_t>(st_.st_size));
    char bf[65536];
    for (;;) {
        ssize_t r = read(fd, bf, sizeof bf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail(err, "cannot read", path_, MOD_DEAD);
        if (r == 0) break;
        text.append(bf, static_cast<size_t>(r));
    }
    lines_.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        if (lf == std::string::npos) lf = text.size();
        lines_.emplace_back(text, at, lf - at);
        at = lf + 1;
    }
    return index(err);
}

// Makes the lines those of the file as it is now on disk, reading it again
// only when it changed (a change of mode or owner too), after looking that
// no other user can change it. A missing file is an empty store.
int FileStore::refresh(std::string *err)
{
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
        if (errno != ENOENT) return fail(err, "cannot read", path_, MOD_DEAD);
        forget();
        return mod_file_check(path_.c_str(), MOD_FILE_STORE, err) ? MOD_DONE : MOD_DEAD;
    }
    if (fd_.ok() && same(&st, &st_)) return MOD_DONE;
    forget();
    if (!mod_file_check(path_.c_str(), MOD_FILE_STORE, err)) return MOD_DEAD;
    ModFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        // Gone between the two looks: as good as missing.
        if (errno == ENOENT) return MOD_DONE;
        return fail(err, "cannot read", path_, MOD_DEAD);
    }
    int r = fstat(fd.get(), &st_) == 0 ? read_all(fd.get(), err)
                                       : fail(err, "cannot read", path_, MOD_DEAD);
    if (r != MOD_DONE) {
        forget();
        return r;
    }
    fd_.reset(fd.release());
    return MOD_DONE;
}

// Opens the lock file, creating it when missing. A symbolic link or
// anything but a plain file in its place, which another user of a shared
// directory may have planted there, is refused and never followed: the
// file is opened without following links, and created only where nothing
// is.
int FileStore::open_lock(std::string *err)
{
    int fd = -1;
    for (int tries = 0; tries < 3 && fd < 0; tries++) {
        fd = ::open(lock_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            fd = ::open(lock_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        // Made by another process between the two opens: open it again.
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return fail(err, "cannot lock", lock_, 0);
    lock_fd_.reset(fd);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return 1;
    lock_fd_.reset();
    *err = "cannot lock " + lock_ + ": not a plain file";
    return 0;
}

// Takes the lock, waiting up to busy_ milliseconds for another process to
// finish its change, then brings the lines up to date.
int FileStore::begin(std::string *err)
{
    if (!lock_fd_.ok() && !open_lock(err)) return MOD_DEAD;
    for (int waited = 0;; waited += 10) {
        if (flock(lock_fd_.get(), LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fail(err, "cannot lock", lock_, MOD_DEAD);
        if (waited >= busy_) {
            *err = "store is busy, " + path_ + " stays locked by another process";
            return MOD_DEAD;
        }
        adt::my_msleep(10);
    }
    int r = refresh(err);
    if (r != MOD_DONE) end();
    return r;
}

// Gives the new file the owner, group and mode of the one it replaces; a
// new file stays owner-only. Without the old owner and group it keeps only
// the owner's permissions, so that no other group gains access.
void FileStore::permissions(int fd)
{
    if (!fd_.ok()) return;
    mode_t mode = st_.st_mode & 07777;
    if ((st_.st_uid != geteuid() || st_.st_gid != getegid()) &&
        fchown(fd, st_.st_uid, st_.st_gid) != 0)
        mode &= 0700;
    fchmod(fd, mode);
}

// Writes the lines as the new file: temporary file, flushed to disk,
// renamed into place, the directory flushed too. On failure the lines are
// dropped (they no longer match the file) and the file stays as it was.
int FileStore::commit(std::string *err)
{
    std::string text;
    for (const std::string &l : lines_) text += l + "\n";
    // A plain file is left behind by a process that died here, and the
    // lock makes it ours now; a link planted there is refused, and the
    // exclusive create follows none that appears after the look.
    struct stat st;
    int planted = lstat(temp_.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (planted) errno = S_ISLNK(st.st_mode) ? ELOOP : EEXIST;
    if (!planted) unlink(temp_.c_str());
    ModFd fd(planted
                 ? -1
                 : ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) {
        fail(err, "cannot write", temp_, MOD_DEAD);
        forget();
        return MOD_DEAD;
    }
    permissions(fd.get());
    if (!adt::write_all(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0 ||
        rename(temp_.c_str(), path_.c_str()) != 0) {
        fail(err, "cannot write", path_, MOD_DEAD);
        unlink(temp_.c_str());
        forget();
        return MOD_DEAD;
    }
    ModFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok()) fsync(dir.get());
    fstat(fd.get(), &st_);
    fd_.reset(fd.release());
    return index(err);
}

int FileStore::find(const char *name, ModUser *u, std::string *err)
{
    int r = refresh(err);
    if (r != MOD_DONE) return r;
    auto it = index_.find(name);
    if (it == index_.end()) return MOD_NONE;
    parse(lines_[it->second], u);
    return MOD_DONE;
}

int FileStore::put(const char *name, const char *hash, const char *extra, std::string *err)
{
    int r = begin(err);
    if (r != MOD_DONE) return r;
    ModUser u = {name, hash, extra ? extra : ""};
    auto it = index_.find(name);
    if (it != index_.end() && !extra) {
        parse(lines_[it->second], &u);
        u.hash = hash;
    }
    if (it != index_.end())
        lines_[it->second] = compose(u);
    else
        lines_.push_back(compose(u));
    r = commit(err);
    end();
    return r;
}

int FileStore::update(const char *name, const char *hash, const char *extra, const char *expect,
                      std::string *err)
{
    int r = begin(err);
    if (r != MOD_DONE) return r;
    auto it = index_.find(name);
    ModUser u;
    if (it == index_.end() || !parse(lines_[it->second], &u) || (expect && u.hash != expect)) {
        end();
        return MOD_NONE;
    }
    if (hash) u.hash = hash;
    if (extra) u.extra = extra;
    lines_[it->second] = compose(u);
    r = commit(err);
    end();
    return r;
}

int FileStore::remove(const char *name, std::string *err)
{
    int r = begin(err);
    if (r != MOD_DONE) return r;
    if (!index_.count(name)) {
        end();
        return MOD_NONE;
    }
    // Every line of the name goes, so that no older record shows up again.
    ModUser u;
    std::vector<std::string> kept;
    for (std::string &l : lines_)
        if (!parse(l, &u) || u.name != name) kept.push_back(std::move(l));
    lines_.swap(kept);
    r = commit(err);
    end();
    return r;
}

int FileStore::each(const std::function<void(const ModUser &)> &fn, std::string *err)
{
    int r = refresh(err);
    if (r != MOD_DONE) return r;
    // Byte order of the names, as the comparison of std::string gives it.
    std::vector<ModUser> users(index_.size());
    size_t i = 0;
    for (const auto &e : index_) parse(lines_[e.second], &users[i++]);
    std::sort(users.begin(), users.end(),
              [](const ModUser &a, const ModUser &b) { return a.name < b.name; });
    for (const ModUser &u : users) fn(u);
    return MOD_DONE;
}

// Names the lock file, the temporary file and the directory after the
// store.
void FileStore::paths()
{
    lock_ = path_ + ".lock";
    temp_ = path_ + ".tmp";
    size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
}

// Opens the store of the options: reads the file, or, unless read-only,
// creates it empty with mode 0600 when it is missing.
int FileStore::open_store(std::string *err)
{
    if (path_.empty()) {
        *err = "no store given (-file PATH)";
        return 0;
    }
    paths();
    if (!mod_file_trust(path_.c_str(), MOD_FILE_STORE, err) || refresh(err) != MOD_DONE) return 0;
    if (fd_.ok()) return 1;
    if (opts_.ReadOnly) {
        errno = ENOENT;
        fail(err, "cannot open", path_, MOD_DEAD);
        return 0;
    }
    if (begin(err) != MOD_DONE) return 0;
    int r = fd_.ok() ? MOD_DONE : commit(err);
    end();
    return r == MOD_DONE;
}

// Reads the file as a request would (every line must be a user), and
// looks at the lock file a change would take.
void FileStore::check_store(ModCheck *c)
{
    if (!mod_check_store_file(c, path_, opts_)) return;
    paths();
    std::string err;
    if (refresh(&err) != MOD_DONE) c->problem(err);
    if (!opts_.ReadOnly && access(lock_.c_str(), F_OK) == 0 &&
        faccessat(AT_FDCWD, lock_.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        fail(&err, "cannot lock", lock_, 0);
        c->problem(err);
    }
}

} // namespace

namespace
{

// corvane-file -hash [METHOD]: prints the hash of a password read from
// standard input, for a password file written by hand.
int hash_tool(int argc, char **argv)
{
    const char *method = argc > 2 ? argv[2] : MOD_METHOD_DEFAULT;
    const char *prefix = hash_prefix(method);
    std::string password, hash;
    if (argc > 3 || !prefix) {
        fprintf(stderr,
                argc > 3 ? "usage: corvane-file -hash [METHOD]\n"
                         : "corvane-file: unknown hash method %s\n",
                method);
        return 1;
    }
    if (!mod_read_password("Password: ", &password) || password.empty()) {
        fprintf(stderr, "corvane-file: no password given\n");
        return 1;
    }
    int made = hash_make(prefix, 0, password.c_str(), &hash);
    explicit_bzero(password.data(), password.size());
    fprintf(made ? stdout : stderr, "%s%s\n", made ? "" : "corvane-file: ", hash.c_str());
    return made ? 0 : 1;
}

} // namespace

int corvane_file_main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "-hash") == 0) return hash_tool(argc, argv);
    FileStore f;
    return mod_main(argc, argv, &f);
}
