#include "adapters/squid.h"

#include <cstring>

#include "adt/lib.h"

namespace
{

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Cuts the next word off *rest at the next single blank; Squid separates
// its words by exactly one, so an empty word (an empty password) keeps its
// place. Null when nothing is left.
char *next_word(char **rest)
{
    char *word = *rest;
    if (!word) return nullptr;
    char *blank = strchr(word, ' ');
    if (blank) *blank++ = 0;
    *rest = blank;
    return word;
}

int refuse(SquidRequest *r, int verdict, const char *why)
{
    r->Verdict = verdict;
    r->Why = why;
    return 0;
}

// Takes the channel number off the front of *rest into r->Channel.
int take_channel(char **rest, SquidRequest *r)
{
    char *word = next_word(rest);
    size_t n = word ? strlen(word) : 0;
    if (n == 0 || n > SQ_CHANNEL_MAX || strspn(word, "0123456789") != n)
        return refuse(r, SQ_BH,
                      "no channel number before the request: is concurrency= set in "
                      "squid.conf?");
    memcpy(r->Channel, word, n + 1);
    return 1;
}

} // namespace

int squid_unescape(char *word)
{
    if (!word) return 0;
    char *to = word;
    for (const char *p = word; *p; p++) {
        if (*p != '%') {
            *to++ = *p;
            continue;
        }
        int hi = hex_value(p[1]), lo = hi < 0 ? -1 : hex_value(p[2]);
        if (lo < 0 || hi + lo == 0) { // a NUL would cut the word short: "a%00b" is not "a"
            *to = 0;
            return 0;
        }
        *to++ = (char)(hi * 16 + lo);
        p += 2;
    }
    *to = 0;
    return 1;
}

void squid_parse(char *line, int concurrent, SquidRequest *r)
{
    if (!r) return;
    r->Channel[0] = 0;
    r->Login = AskLogin{};
    r->Verdict = SQ_ASK;
    r->Why = nullptr;
    if (!line) {
        refuse(r, SQ_BH, "no request");
        return;
    }
    char *rest = line;
    if (concurrent && !take_channel(&rest, r)) return;
    char *user = next_word(&rest), *password = next_word(&rest);
    char *address = next_word(&rest);
    if (!password) {
        refuse(r, SQ_BH, "a request without a password field");
        return;
    }
    if (rest) {
        refuse(r, SQ_BH,
               "more words than user, password and address: set key_extras to \"%>a\" "
               "alone in squid.conf");
        return;
    }
    // Each word is decoded before it is judged, so that an escaped blank or
    // control character cannot reach Corvane's command line.
    if (!squid_unescape(user) || !squid_unescape(password) || (address && !squid_unescape(address)))
        refuse(r, SQ_ERR, "a malformed %XX escape");
    else if (!askd_word_ok(user) || !askd_word_ok(password))
        refuse(r, SQ_ERR,
               "an empty user name or password, or one with a blank or control "
               "character");
    else if (ask_set_address(&r->Login, address) != ASK_OK)
        refuse(r, SQ_ERR, "a client address that is not one word");
    else {
        r->Login.User = user;
        r->Login.Password = password;
    }
}

int squid_verdict(const char *reply)
{
    int answer = askd_classify(reply);
    return answer == ASKD_OK ? SQ_OK : answer == ASKD_ERR ? SQ_ERR : SQ_BH;
}

int squid_reply(char *buf, size_t size, const char *channel, int verdict, const char *message)
{
    static const char *const word[] = {"BH", "OK", "ERR", "BH"};
    if (!buf || verdict < SQ_ASK || verdict > SQ_BH) return -1;
    int n = adt::lprintf(buf, (int)size, "%s%s%s", channel && *channel ? channel : "",
                         channel && *channel ? " " : "", word[verdict]);
    // Room for the word, ` message=""` around one character, and the line feed.
    if (n <= 0 || (size_t)n + 2 > size) return -1;
    size_t at = (size_t)n;
    if (message && *message && at + 14 < size) {
        memcpy(buf + at, " message=\"", 10);
        at += 10;
        for (const unsigned char *p = (const unsigned char *)message; *p && at + 4 < size; p++) {
            if (*p == '"' || *p == '\\') buf[at++] = '\\';
            buf[at++] = *p < ' ' || *p == 127 ? '?' : (char)*p;
        }
        buf[at++] = '"';
    }
    buf[at++] = '\n';
    buf[at] = 0;
    return (int)at;
}
