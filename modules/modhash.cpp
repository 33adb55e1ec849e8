// Password hashes through the system's crypt library.
#include "modules/modhash.h"

#include <cerrno>
#include <cstring>
#include <crypt.h>

// Hash methods by the text that starts their hashes. Longer prefixes come
// before shorter ones that begin the same way.
struct hash_kind {
    const char *prefix;
    const char *method;
};
static const hash_kind hash_kinds[] = {
    {"$y$", "yescrypt"},    {"$gy$", "gost-yescrypt"}, {"$7$", "scrypt"},  {"$2b$", "bcrypt"},
    {"$2a$", "bcrypt"},     {"$2y$", "bcrypt"},        {"$2x$", "bcrypt"}, {"$6$", "sha512crypt"},
    {"$5$", "sha256crypt"}, {"$sha1$", "sha1crypt"},   {"$md5", "sunmd5"}, {"$1$", "md5crypt"},
    {"$3$", "nt"},          {"_", "bsdicrypt"},
};

// The library's work area is large and this process is single-threaded:
// one static area serves every call.
static crypt_data hash_work;

// 1 when every byte of s is of the traditional DES hash alphabet.
static int hash_des_alphabet(const char *s)
{
    return s[strspn(s, "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")] == 0;
}

const char *hash_method(const char *hash)
{
    if (!hash || !*hash) return "unknown";
    for (const hash_kind &k : hash_kinds)
        if (strncmp(hash, k.prefix, strlen(k.prefix)) == 0) return k.method;
    size_t n = strlen(hash);
    if (hash_des_alphabet(hash)) {
        if (n == 13) return "descrypt";
        if (n > 13 && (n - 13) % 11 == 0) return "bigcrypt";
    }
    return "unknown";
}

const char *hash_prefix(const char *method)
{
    if (!method) return nullptr;
    if (strcmp(method, "descrypt") == 0) return "";
    for (const hash_kind &k : hash_kinds)
        if (strcmp(method, k.method) == 0) return k.prefix;
    return nullptr;
}

int hash_verify(const char *password, const char *hash)
{
    if (!password || !hash || !*hash) return 0;
    const char *out = crypt_rn(password, hash, &hash_work, sizeof hash_work);
    // The library marks a failure with a leading '*', which no hash has.
    if (!out || *out == '*') return 0;
    size_t n = strlen(out), m = strlen(hash);
    unsigned diff = n != m;
    for (size_t i = 0; i < n; i++)
        diff |=
            static_cast<unsigned char>(out[i]) ^ static_cast<unsigned char>(i < m ? hash[i] : 0);
    return diff == 0;
}

int hash_setting_ok(const char *prefix, unsigned long count)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    return prefix && crypt_gensalt_rn(prefix, count, nullptr, 0, setting, sizeof setting);
}

int hash_make(const char *prefix, unsigned long count, const char *password, std::string *out)
{
    if (!prefix || !password || !out) return 0;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // Without random bytes of ours the library draws the salt from the
    // system's random source itself.
    if (!crypt_gensalt_rn(prefix, count, nullptr, 0, setting, sizeof setting)) {
        *out = std::string("cannot make a salt: ") + strerror(errno);
        return 0;
    }
    const char *h = crypt_rn(password, setting, &hash_work, sizeof hash_work);
    if (!h || *h == '*') {
        *out = std::string("cannot hash: ") + strerror(errno);
        return 0;
    }
    *out = h;
    return 1;
}

void HashCensus::clear()
{
    tallies_.clear();
}

void HashCensus::add(const char *hash, size_t length)
{
    // The method is told by the prefix, and for DES by the length.
    std::string h(hash, length);
    const char *method = hash_method(h.c_str());
    if (strcmp(method, "unknown") == 0) return;
    for (Tally &t : tallies_)
        if (strcmp(t.method, method) == 0) {
            t.count++;
            return;
        }
    tallies_.push_back({method, 1, std::move(h)});
}

const std::string &HashCensus::typical() const
{
    static const std::string none;
    const Tally *best = nullptr;
    for (const Tally &t : tallies_)
        if (!best || t.count > best->count) best = &t;
    return best ? best->first : none;
}
