// corvane-ldap: Corvane's module for users kept in an LDAP directory.
//
// The directory decides: a check finds the user's entry with the service
// account, then binds as that entry with the given password on a
// connection of its own; no hash is read or compared here. A new password
// goes to the directory with the Password Modify extended operation, so
// that the directory hashes it under its own policy. Both connections are
// kept from request to request and made again when the directory has
// dropped them; a directory out of reach makes the module answer "-DEAD".
//
// Entries are never created here: a set changes an existing entry only.
// The requests are read and checked by the modules' library (modlib.h).
#include "modules/modlib.h"
#include "modules/modsafe.h"

#include "adt/lib.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ldap.h>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

namespace
{

// The name of the entry an unknown user's check binds to: one that no
// directory holds, so the bind is refused.
const char no_such_user[] = "corvane-no-such-user-e1f4c2";

// The module's words of a check reply: the kind of store and the method.
// The directory checked the password; the method of its hash is its own.
const char check_words[] = "ldap ldap";

struct Options {
    std::string Uri;
    std::string Base;
    std::string Filter = "(uid=%s)"; // "%s": the escaped user name
    std::string NameAttr;            // the attribute of the filter's "%s"
    std::string BindDn;              // the service account; empty: anonymous
    std::string BindPwFile;          // -bindpw-file
    std::string BindPw;              // read from it
    std::string BindPwText;          // -bindpw, which is refused
    int BindPwGiven = 0;
    std::string AttrList;           // -attrs as written
    std::vector<std::string> Attrs; // -attrs: the extra information
    int StartTls = 0;
    int AllowDel = 0;
    int Timeout = 5000;   // milliseconds, each directory operation
    int SizeLimit = 1000; // most entries of one search
};

// ---- options ----

// The first line of path, the service account's password, without its
// line end. The buffer is wiped after the copy.
int read_secret(const std::string &path, std::string *out, std::string *err)
{
    if (!mod_file_trust(path.c_str(), MOD_FILE_SECRET, err)) return 0;
    FILE *f = fopen(path.c_str(), "re");
    if (!f) {
        *err = "cannot read " + path + ": " + strerror(errno);
        return 0;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, f);
    fclose(f);
    out->assign(line && n > 0 ? line : "", n > 0 ? (size_t)n : 0);
    if (line) explicit_bzero(line, cap);
    free(line);
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    // An empty password makes a simple bind anonymous: never meant here.
    if (out->empty()) *err = path + " holds no password";
    return !out->empty();
}

// The attribute before the filter's "%s" (uid in "(uid=%s)", also with a
// matching rule as in "(uid:caseExactMatch:=%s)"), or "".
std::string name_attribute(const std::string &filter)
{
    size_t at = filter.find("%s");
    if (at == std::string::npos || at == 0 || filter[at - 1] != '=') return "";
    size_t end = at - 1, begin = end;
    while (begin > 0 && (isalnum((unsigned char)filter[begin - 1]) ||
                         strchr("-;.:", filter[begin - 1]) != nullptr))
        begin--;
    std::string attr = filter.substr(begin, end - begin);
    return attr.substr(0, attr.find(':'));
}

// 1 when every comma-separated URI of uri has a scheme this module speaks.
int uri_ok(const std::string &uri)
{
    size_t at = 0;
    do {
        size_t comma = uri.find(',', at);
        std::string one = uri.substr(at, comma == std::string::npos ? comma : comma - at);
        if (strncasecmp(one.c_str(), "ldap://", 7) != 0 &&
            strncasecmp(one.c_str(), "ldaps://", 8) != 0 &&
            strncasecmp(one.c_str(), "ldapi://", 8) != 0)
            return 0;
        at = comma == std::string::npos ? comma : comma + 1;
    } while (at != std::string::npos);
    return 1;
}

// Takes in the options read: 1 when they make sense, else 0 with the
// reason. The password file is read by the caller.
int settle(Options *o, std::string *err)
{
    if (o->BindPwGiven) {
        *err = "-bindpw is not taken: a command line is seen by every user, use -bindpw-file";
        return 0;
    }
    o->Attrs.clear();
    for (size_t at = 0; at < o->AttrList.size();) {
        size_t comma = std::min(o->AttrList.find(',', at), o->AttrList.size());
        if (comma > at) o->Attrs.push_back(o->AttrList.substr(at, comma - at));
        at = comma + 1;
    }
    o->NameAttr = name_attribute(o->Filter);
    if (o->Uri.empty() || !uri_ok(o->Uri))
        *err = "-uri must give ldap://, ldaps:// or ldapi:// URIs";
    else if (o->Base.empty())
        *err = "no search base given (-base DN)";
    else if (o->NameAttr.empty())
        *err = "-filter must hold \"ATTRIBUTE=%s\", the user name's place";
    else if (o->BindDn.empty() != o->BindPwFile.empty())
        *err = "-binddn and -bindpw-file go together";
    else if (o->Timeout <= 0 || o->SizeLimit <= 0)
        *err = "-timeout and -sizelimit must be positive";
    return err->empty();
}

// ---- texts ----

// Appends c as lead and two hexadecimal digits (as in "%20").
void append_hex(std::string *out, char lead, unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    *out += lead;
    *out += digits[c >> 4];
    *out += digits[c & 15];
}

// text as an assertion value of a search filter: the filter's own
// characters, controls and non-ASCII bytes as "\XX". With wild, "*" and
// "?" become wildcards (one for a run of them); "?" is narrowed after the
// search.
std::string filter_value(const char *text, bool wild)
{
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (wild && (*p == '*' || *p == '?')) {
            if (out.empty() || out.back() != '*') out += '*';
        } else if (*p < ' ' || *p >= 127 || strchr("*()\\", *p)) {
            append_hex(&out, '\\', *p);
        } else {
            out += (char)*p;
        }
    }
    return out;
}

// The filter with every "%s" replaced by value.
std::string make_filter(const std::string &filter, const std::string &value)
{
    std::string out;
    size_t at = 0;
    for (size_t s; (s = filter.find("%s", at)) != std::string::npos; at = s + 2)
        out += filter.substr(at, s - at) + value;
    return out + filter.substr(at);
}

// A directory value as (part of) one word: "%", blanks, controls and DEL
// as "%XX", so that the word neither splits nor breaks the reply line.
std::string word_of(const char *v, size_t len)
{
    std::string out;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)v[i];
        if (c <= ' ' || c == '%' || c == 127)
            append_hex(&out, '%', c);
        else
            out += (char)c;
    }
    return out;
}

// Undoes word_of; 0 for a "%" not followed by two hex digits.
int unword(const std::string &word, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < word.size(); i++) {
        if (word[i] != '%') {
            *out += word[i];
            continue;
        }
        if (i + 2 >= word.size() || !isxdigit((unsigned char)word[i + 1]) ||
            !isxdigit((unsigned char)word[i + 2]))
            return 0;
        *out += (char)strtol(word.substr(i + 1, 2).c_str(), nullptr, 16);
        i += 2;
    }
    return 1;
}

// ---- the library's handles, freed by their owners ----

struct Unbind {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MsgFree {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
struct ValuesFree {
    void operator()(berval **v) const { ldap_value_free_len(v); }
};
struct MemFree {
    void operator()(char *p) const { ldap_memfree(p); }
};
using Handle = std::unique_ptr<LDAP, Unbind>;
using Message = std::unique_ptr<LDAPMessage, MsgFree>;
using Values = std::unique_ptr<berval *, ValuesFree>;
using Text = std::unique_ptr<char, MemFree>;

// The result text of rc, with the directory's own message when it gave one.
std::string message(LDAP *ld, int rc)
{
    std::string m = ldap_err2string(rc);
    char *diag = nullptr;
    if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS && diag) {
        if (*diag) m += std::string(" (") + diag + ")";
        ldap_memfree(diag);
    }
    return m;
}

// 1 when rc says that the directory cannot be reached on this connection.
bool gone(int rc)
{
    return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT ||
           rc == LDAP_UNAVAILABLE;
}

// 1 when rc, the result of a bind as a user's entry, refuses the password
// (a wrong one, or an entry that has none): a final answer, as against a
// directory that could not decide.
bool password_refused(int rc)
{
    return rc == LDAP_INVALID_CREDENTIALS || rc == LDAP_INAPPROPRIATE_AUTH;
}

// 1 when rc, the result of a change, is the directory's policy refusing it
// (a password too weak, an attribute the service account may not write):
// an answer to this request, as against a directory that could not serve.
bool change_refused(int rc)
{
    return rc == LDAP_CONSTRAINT_VIOLATION || rc == LDAP_INSUFFICIENT_ACCESS ||
           rc == LDAP_UNWILLING_TO_PERFORM || rc == LDAP_OBJECT_CLASS_VIOLATION ||
           rc == LDAP_UNDEFINED_TYPE || rc == LDAP_INVALID_SYNTAX ||
           rc == LDAP_TYPE_OR_VALUE_EXISTS || rc == LDAP_NOT_ALLOWED_ON_NONLEAF ||
           rc == LDAP_NO_SUCH_OBJECT;
}

// Why a request failed: dead (non-empty) when the module cannot serve at
// all, else the directory's result text.
struct Failure {
    std::string dead;
    std::string why;
};

// One connection to the directory: made when first needed, the service
// account bound on it if it is the service connection, and made again
// when the directory dropped it.
class Connection
{
  public:
    Connection(const Options &o, bool service) : o_(o), service_(service) {}

    // Runs op (LDAP * -> result code) on the connection. A connection kept
    // from an earlier request that the directory has dropped since (it was
    // restarted, or closed an idle connection) is made anew and op run once
    // more, unless *sent says that op has already answered in part.
    template <class Op> int run(Op op, Failure *f, const int *sent = nullptr)
    {
        for (int again = 0;; again = 1) {
            bool fresh = !ld_;
            int rc = fresh ? open(f) : LDAP_SUCCESS;
            if (rc != LDAP_SUCCESS) return rc;
            rc = op(ld_.get());
            if (rc != LDAP_SUCCESS) f->why = message(ld_.get(), rc);
            if (!gone(rc)) return rc;
            ld_.reset();
            if (fresh || again || rc == LDAP_TIMEOUT || (sent && *sent)) {
                f->dead = "directory unavailable: " + f->why;
                return rc;
            }
        }
    }

  private:
    const Options &o_;
    bool service_;
    Handle ld_;

    int open(Failure *f)
    {
        LDAP *raw = nullptr;
        int rc = ldap_initialize(&raw, o_.Uri.c_str());
        Handle ld(raw);
        if (rc != LDAP_SUCCESS) {
            f->dead = "cannot use " + o_.Uri + ": " + message(nullptr, rc);
            return rc;
        }
        int v3 = LDAP_VERSION3;
        timeval tv = {o_.Timeout / 1000, o_.Timeout % 1000 * 1000};
        ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &v3);
        ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        ldap_set_option(raw, LDAP_OPT_RESTART, LDAP_OPT_ON);
        ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
        ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
        std::string doing = "start TLS";
        if (o_.StartTls) rc = ldap_start_tls_s(raw, nullptr, nullptr);
        if (rc == LDAP_SUCCESS && service_ && !o_.BindDn.empty()) {
            doing = "bind as " + o_.BindDn;
            berval pw = {o_.BindPw.size(), (char *)o_.BindPw.data()};
            rc = ldap_sasl_bind_s(raw, o_.BindDn.c_str(), LDAP_SASL_SIMPLE, &pw, nullptr, nullptr,
                                  nullptr);
        }
        if (rc == LDAP_SUCCESS) {
            ld_ = std::move(ld);
            return rc;
        }
        f->why = message(raw, rc);
        f->dead = gone(rc) ? "directory unavailable: " + f->why : "cannot " + doing + ": " + f->why;
        return rc;
    }
};

// ---- the requests ----

// A user's entry as the service account finds it.
struct Entry {
    std::string dn;
    std::string extra;
};

enum { FIND_FAILED = -1, FIND_NONE = 0, FIND_ONE = 1, FIND_MANY = 2 };

class Directory : public ModBackend
{
  public:
    Directory() : service_(o_, true), bind_(o_, false) {}

    std::vector<ModOption> options() override
    {
        return {{.Name = "-uri", .Text = &o_.Uri},
                {.Name = "-base", .Text = &o_.Base},
                {.Name = "-filter", .Text = &o_.Filter},
                {.Name = "-binddn", .Text = &o_.BindDn},
                {.Name = "-bindpw-file", .Text = &o_.BindPwFile},
                {.Name = "-bindpw", .Text = &o_.BindPwText, .Flag = &o_.BindPwGiven},
                {.Name = "-attrs", .Text = &o_.AttrList},
                {.Name = "-timeout", .Number = &o_.Timeout},
                {.Name = "-sizelimit", .Number = &o_.SizeLimit},
                {.Name = "-starttls", .Flag = &o_.StartTls},
                {.Name = "-allow-del", .Flag = &o_.AllowDel}};
    }

    int open(std::string *err) override
    {
        if (!settle(&o_, err)) return 0;
        if (!o_.BindPwFile.empty() && !read_secret(o_.BindPwFile, &o_.BindPw, err)) return 0;
        named_.push_back(o_.NameAttr.data());
        for (std::string &a : o_.Attrs) named_.push_back(a.data());
        named_.push_back(nullptr);
        return 1;
    }

    // Binds as the service account and looks at the search base: a
    // directory out of reach is a warning, one that refuses is a problem.
    void selfcheck(ModCheck *c) override
    {
        std::string err;
        if (!open(&err)) return c->problem(err);
        Failure f;
        int rc = service_.run(
            [&](LDAP *ld) {
                LDAPMessage *raw = nullptr;
                timeval tv = {o_.Timeout / 1000, o_.Timeout % 1000 * 1000};
                char *none[] = {(char *)LDAP_NO_ATTRS, nullptr};
                int r = ldap_search_ext_s(ld, o_.Base.c_str(), LDAP_SCOPE_BASE, nullptr, none, 0,
                                          nullptr, nullptr, &tv, 1, &raw);
                ldap_msgfree(raw);
                return r;
            },
            &f);
        if (rc == LDAP_SUCCESS) return;
        if (gone(rc)) return c->warning(f.dead.empty() ? f.why : f.dead);
        c->problem(f.dead.empty() ? "cannot search the directory: " + f.why : f.dead);
    }

    void lookup(const char *name) override
    {
        Entry e;
        if (find(name, &e) == FIND_ONE) reply_ok(name, "", e.extra);
    }

    // An empty password never comes here: a simple bind with it is an
    // anonymous bind, which directories accept.
    void check(const char *name, const char *password) override
    {
        Entry e;
        int found = find(name, &e, true);
        if (found == FIND_NONE) {
            // An unknown name costs a bind too, as a wrong password does, so
            // the time of the answer does not tell a prober which names
            // exist: to a DN no entry has, which the directory refuses.
            e.dn = "cn=" + std::string(no_such_user) + (o_.Base.empty() ? "" : "," + o_.Base);
        } else if (found != FIND_ONE) {
            return;
        }
        Failure f;
        berval pw = {strlen(password), (char *)password};
        int rc = bind_.run(
            [&](LDAP *ld) {
                return ldap_sasl_bind_s(ld, e.dn.c_str(), LDAP_SASL_SIMPLE, &pw, nullptr, nullptr,
                                        nullptr);
            },
            &f);
        if (found == FIND_NONE) return mod_reply("-ERR %s not found or password incorrect", name);
        if (rc == LDAP_SUCCESS) return reply_ok(name, check_words, e.extra);
        if (!f.dead.empty()) return mod_reply("-DEAD %s", f.dead.c_str());
        if (password_refused(rc)) return mod_reply("-ERR %s not found or password incorrect", name);
        mod_reply("-DEAD %s cannot bind: %s", name, f.why.c_str());
    }

    void set(const char *name, const char *password, const char *extra) override
    {
        std::vector<Change> changes;
        if (!parse_changes(extra, &changes))
            return mod_reply("-ERR %s extra information invalid: words ATTRIBUTE=VALUE of -attrs",
                             name);
        Entry e;
        if (find(name, &e) != FIND_ONE) return;
        std::vector<LDAPMod *> mods;
        for (Change &c : changes) mods.push_back(c.mod());
        mods.push_back(nullptr);
        Failure f;
        int rc = LDAP_SUCCESS;
        auto modify = [&](LDAP *ld) {
            return ldap_modify_ext_s(ld, e.dn.c_str(), mods.data(), nullptr, nullptr);
        };
        if (mods.size() > 1) rc = service_.run(modify, &f);
        if (rc == LDAP_SUCCESS && password)
            rc = service_.run([&](LDAP *ld) { return change_password(ld, e.dn, password); }, &f);
        if (rc == LDAP_SUCCESS) return mod_reply("+OK %s set", name);
        if (!f.dead.empty() || !change_refused(rc))
            return mod_reply("-DEAD %s not set: %s", name,
                             (f.dead.empty() ? f.why : f.dead).c_str());
        mod_reply("-ERR %s not set: %s", name, f.why.c_str());
    }

    void del(const char *name) override
    {
        if (!o_.AllowDel)
            return mod_reply("-ERR %s not deleted, deleting is not allowed (-allow-del)", name);
        Entry e;
        if (find(name, &e) != FIND_ONE) return;
        Failure f;
        int rc = service_.run(
            [&](LDAP *ld) { return ldap_delete_ext_s(ld, e.dn.c_str(), nullptr, nullptr); }, &f);
        if (rc == LDAP_SUCCESS) return mod_reply("+OK %s deleted", name);
        if (!f.dead.empty() || !change_refused(rc))
            return mod_reply("-DEAD %s not deleted: %s", name,
                             (f.dead.empty() ? f.why : f.dead).c_str());
        mod_reply("-ERR %s not deleted: %s", name, f.why.c_str());
    }

    void search(const char *pattern) override
    {
        Found st = {pattern, strchr(pattern, '?') != nullptr, 0, 0};
        std::string filter = make_filter(o_.Filter, filter_value(pattern, true));
        Failure f;
        int rc = service_.run([&](LDAP *ld) { return search_all(ld, filter, &st); }, &f, &st.total);
        if (!f.dead.empty()) return mod_reply("-DEAD %s", f.dead.c_str());
        if (rc == LDAP_SUCCESS) return mod_reply("+OK %d %d", st.found, st.total);
        if (rc == LDAP_SIZELIMIT_EXCEEDED)
            return mod_reply("+OK %d %d size limit reached", st.found, st.total);
        mod_reply("-DEAD cannot search the directory: %s", f.why.c_str());
    }

  private:
    Options o_;
    Connection service_, bind_;
    std::vector<char *> named_; // the name attribute and the extra attributes

    // One attribute a set replaces, with the values it gets.
    struct Change {
        std::string attr;
        std::vector<std::string> values;
        std::vector<berval> bv;
        std::vector<berval *> list;
        LDAPMod m;
        LDAPMod *mod()
        {
            for (std::string &v : values) bv.push_back({v.size(), v.data()});
            for (berval &b : bv) list.push_back(&b);
            list.push_back(nullptr);
            m = {LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, attr.data(), {}};
            m.mod_bvalues = list.data();
            return &m;
        }
    };

    // A search in progress: the pattern, whether hits are narrowed by it
    // here, and the counts.
    struct Found {
        const char *pattern;
        bool narrow;
        int found;
        int total;
    };

    // Room left for the extra information in a reply to name (the longest,
    // a check reply, sets it for all).
    static size_t room(const std::string &name)
    {
        size_t fixed = sizeof("+OK  ") - 1 + name.size() + sizeof(check_words);
        return fixed < MOD_LINE_MAX ? MOD_LINE_MAX - fixed : 0;
    }

    // The entry's extra attributes as words "attr=value", one per value,
    // as many as fit the room.
    std::string extra_of(LDAP *ld, LDAPMessage *entry, size_t fit)
    {
        std::string extra;
        for (const std::string &attr : o_.Attrs) {
            Values vals(ldap_get_values_len(ld, entry, attr.c_str()));
            for (berval **v = vals.get(); v && *v; v++) {
                std::string w = attr + "=" + word_of((*v)->bv_val, (*v)->bv_len);
                if (extra.size() + 1 + w.size() > fit) return extra;
                extra += (extra.empty() ? "" : " ") + w;
            }
        }
        return extra;
    }

    // 1 when a value of the entry's name attribute is name, byte for byte.
    bool named(LDAP *ld, LDAPMessage *entry, const char *name)
    {
        Values vals(ldap_get_values_len(ld, entry, o_.NameAttr.c_str()));
        size_t n = strlen(name);
        for (berval **v = vals.get(); v && *v; v++)
            if ((*v)->bv_len == n && memcmp((*v)->bv_val, name, n) == 0) return true;
        return false;
    }

    void reply_ok(const char *name, const char *words, const std::string &extra)
    {
        std::string mid = std::string(*words ? " " : "") + words;
        if (extra.empty()) return mod_reply("+OK %s%s", name, mid.c_str());
        mod_reply("+OK %s%s %s", name, mid.c_str(), extra.c_str());
    }

    // Finds name's one entry, which counts only when a value of its name
    // attribute is name byte for byte: the directory matches names
    // ignoring case, and an exclusion or a store asked after this one
    // must not be got around by another spelling. On anything else, the
    // reply is given here: a directory that cannot tell which entry is
    // the user's (a failed search, two entries) answers "-DEAD".
    int find(const char *name, Entry *e, bool checking = false)
    {
        std::string filter = make_filter(o_.Filter, filter_value(name, false));
        Failure f;
        int count = 0;
        int rc = service_.run(
            [&](LDAP *ld) {
                LDAPMessage *raw = nullptr;
                timeval tv = {o_.Timeout / 1000, o_.Timeout % 1000 * 1000};
                // Two are enough to tell that the name is not unique.
                int r = ldap_search_ext_s(ld, o_.Base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                                          named_.data(), 0, nullptr, nullptr, &tv, 2, &raw);
                Message res(raw);
                count = res ? ldap_count_entries(ld, res.get()) : 0;
                LDAPMessage *entry = count == 1 ? ldap_first_entry(ld, res.get()) : nullptr;
                if (entry && !named(ld, entry, name)) count = 0;
                if (count == 1 && r == LDAP_SUCCESS) {
                    Text dn(ldap_get_dn(ld, entry));
                    // Never bind with an empty DN: that bind would be anonymous.
                    if (!dn || !*dn) return LDAP_DECODING_ERROR;
                    e->dn = dn.get();
                    e->extra = extra_of(ld, entry, room(name));
                }
                return r == LDAP_SIZELIMIT_EXCEEDED ? LDAP_SUCCESS : r;
            },
            &f);
        if (!f.dead.empty())
            mod_reply("-DEAD %s", f.dead.c_str());
        else if (rc != LDAP_SUCCESS)
            mod_reply("-DEAD cannot search the directory: %s", f.why.c_str());
        else if (count > 1)
            mod_reply("-DEAD %s matches more than one entry", name);
        else if (count == 0 && !checking) // a check answers after its own bind
            mod_reply("-ERR %s not found", name);
        if (rc != LDAP_SUCCESS) return FIND_FAILED;
        return count > 1 ? FIND_MANY : count;
    }

    // The words of a set's extra information as changes: each word
    // "attr=value" of an attribute of -attrs; the values of one attribute
    // together replace its values, and "attr=" alone removes them all.
    // Without extra information nothing changes; extra information given
    // empty removes every attribute of -attrs.
    int parse_changes(const char *extra, std::vector<Change> *changes)
    {
        if (extra && !*extra)
            for (const std::string &a : o_.Attrs) changes->push_back(Change{a, {}, {}, {}, {}});
        std::string text = extra ? extra : "", word, value;
        for (size_t at = 0; at < text.size(); at++) {
            size_t end = std::min(text.find_first_of(" \t", at), text.size());
            word = text.substr(at, end - at);
            at = end;
            if (word.empty()) continue;
            size_t eq = word.find('=');
            const std::string *attr = nullptr;
            for (const std::string &a : o_.Attrs)
                if (eq != std::string::npos && strncasecmp(a.c_str(), word.c_str(), eq) == 0 &&
                    a.size() == eq)
                    attr = &a;
            if (!attr || !unword(word.substr(eq + 1), &value)) return 0;
            Change *c = nullptr;
            for (Change &have : *changes)
                if (have.attr == *attr) c = &have;
            if (!c) c = &changes->emplace_back(Change{*attr, {}, {}, {}, {}});
            if (!value.empty()) c->values.push_back(value);
        }
        return 1;
    }

    static int change_password(LDAP *ld, const std::string &dn, const char *password)
    {
        berval user = {dn.size(), (char *)dn.data()};
        berval pw = {strlen(password), (char *)password};
        berval made = {0, nullptr};
        int rc = ldap_passwd_s(ld, &user, nullptr, &pw, &made, nullptr, nullptr);
        if (made.bv_val) ber_memfree(made.bv_val);
        return rc;
    }

    // Runs the search of filter and answers each hit as it comes.
    int search_all(LDAP *ld, const std::string &filter, Found *st)
    {
        timeval tv = {o_.Timeout / 1000, o_.Timeout % 1000 * 1000};
        int id = 0;
        int rc = ldap_search_ext(ld, o_.Base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                                 named_.data(), 0, nullptr, nullptr, &tv, o_.SizeLimit, &id);
        while (rc == LDAP_SUCCESS) {
            LDAPMessage *raw = nullptr;
            int type = ldap_result(ld, id, LDAP_MSG_ONE, &tv, &raw);
            Message res(raw);
            if (type == 0) {
                ldap_abandon_ext(ld, id, nullptr, nullptr);
                return LDAP_TIMEOUT;
            }
            if (type < 0) {
                ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
                return rc == LDAP_SUCCESS ? LDAP_OTHER : rc;
            }
            if (type == LDAP_RES_SEARCH_ENTRY) hit(ld, res.get(), st);
            if (type != LDAP_RES_SEARCH_RESULT) continue;
            int code = LDAP_OTHER;
            rc = ldap_parse_result(ld, res.get(), &code, nullptr, nullptr, nullptr, nullptr, 0);
            return rc == LDAP_SUCCESS ? code : rc;
        }
        return rc;
    }

    void hit(LDAP *ld, LDAPMessage *entry, Found *st)
    {
        st->total++;
        Values vals(ldap_get_values_len(ld, entry, o_.NameAttr.c_str()));
        if (!vals || !vals.get()[0]) return;
        std::string name = word_of(vals.get()[0]->bv_val, vals.get()[0]->bv_len);
        // The directory matched "?" as "*"; it compares names without
        // regard to case, and so does this narrowing.
        if (st->narrow && !adt::wmatch(name.c_str(), st->pattern, 0)) return;
        st->found++;
        std::string extra = extra_of(ld, entry, room(name));
        if (extra.empty()) return mod_reply("+DATA %s", name.c_str());
        mod_reply("+DATA %s %s", name.c_str(), extra.c_str());
    }
};

} // namespace

int main(int argc, char **argv)
{
    Directory d;
    return mod_main(argc, argv, &d);
}
