// Password hashes for the shipped modules, through the system's crypt
// library: naming the method of a stored hash, verifying a password against
// any hash the library knows, and making new hashes with a fresh salt.
//
// Methods are named as the library's documentation names them: "yescrypt",
// "gost-yescrypt", "scrypt", "bcrypt", "sha512crypt", "sha256crypt",
// "sha1crypt", "sunmd5", "md5crypt", "nt", "bsdicrypt", "bigcrypt",
// "descrypt".
#ifndef MODULES_MODHASH_H
#define MODULES_MODHASH_H

#include <cstddef>
#include <string>
#include <vector>

// The method that made hash, or "unknown" for text no method made
// (a locked "!..." or "*" entry, an empty field). Never null.
const char *hash_method(const char *hash);

// The setting prefix that starts hashes of the named method, or null when
// no such method is known. descrypt's prefix is the empty text.
const char *hash_prefix(const char *method);

// 1 when the library makes settings of prefix's method with the cost
// count (0: the method's default), so that hash_make can succeed.
int hash_setting_ok(const char *prefix, unsigned long count);

// 1 when password hashes to exactly hash; 0 otherwise, also for a hash the
// library cannot verify. The final comparison takes the same time wherever
// the two texts differ.
int hash_verify(const char *password, const char *hash);

// Hashes password with the method of prefix and the cost count (0: the
// method's default) under a fresh salt from the system's random source.
// 1 with the hash in *out; 0 with the reason in *out.
int hash_make(const char *prefix, unsigned long count, const char *password, std::string *out);

// The methods of a store's hashes counted, so that an unknown user can be
// refused after a verification that costs what most users' cost: a prober
// must not tell names that exist by the time a refusal takes.
class HashCensus
{
  public:
    // Forgets every hash counted.
    void clear();
    // Counts one stored hash; text that no method made is not counted.
    void add(const char *hash, size_t length);
    // The first hash counted of the method counted most often (of those
    // tied, the one counted first), or the empty text when none was.
    const std::string &typical() const;

  private:
    struct Tally {
        const char *method;
        size_t count;
        std::string first;
    };
    std::vector<Tally> tallies_; // one per method seen, in the order seen
};

#endif
