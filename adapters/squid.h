// The Squid side of corvane-squid: what one request line from Squid's
// basic authentication holds, the Corvane command asked for it, and the
// reply line written back. Kept apart from the program's event loop so
// that the tests can call it.
//
// Squid writes, per request, one line of blank-separated words:
//   [CHANNEL] USER PASSWORD [ADDRESS]
// CHANNEL only with "concurrency=" above 0 in squid.conf (the helper is
// then run with --concurrency); ADDRESS only with key_extras "%>a". USER
// and PASSWORD are URL-escaped (%XX; a '+' is a plus sign, not a blank).
// The helper answers one line per request, in any order when concurrent:
//   [CHANNEL] OK | ERR [message="..."] | BH message="..."
#ifndef ADAPTERS_SQUID_H
#define ADAPTERS_SQUID_H

#include <cstddef>

#include "adapters/ask.h"

enum {
    SQ_CHANNEL_MAX = 20, // digits of a channel number
    SQ_INPUT = 16384,    // a request line of more than SQ_INPUT - 1 bytes is refused
};

// What becomes of a request.
enum SquidVerdict {
    SQ_ASK, // ask Corvane
    SQ_OK,  // accepted
    SQ_ERR, // refused: a wrong password, an unknown user, or a login that cannot be asked
    SQ_BH,  // the helper cannot answer: Corvane is broken, or the line is not Squid's
};

struct squid_request {
    char Channel[SQ_CHANNEL_MAX + 1]; // "" without concurrency
    AskLogin Login;                   // decoded in place, pointing into the line
    int Verdict;                      // SQ_ASK, or SQ_ERR / SQ_BH decided without Corvane
    const char *Why;                  // a static reason for SQ_ERR and SQ_BH
};
typedef struct squid_request SquidRequest;

// Decodes %XX escapes in word, in place. 1 on success; 0 for a '%' not
// followed by two hexadecimal digits, or for "%00", which would end the
// word early (word is then left partly decoded).
int squid_unescape(char *word);

// Reads one request line (without its line feed), decoding its words in
// place. Always fills r: Verdict SQ_ASK with Login set, or SQ_ERR or SQ_BH
// with the reason in Why. The channel, when concurrent is set, is taken
// first and kept for the reply even when the rest is refused.
void squid_parse(char *line, int concurrent, SquidRequest *r);

// The verdict Corvane's reply line stands for: SQ_OK for "+OK", SQ_ERR for
// "-ERR", SQ_BH for "-DEAD", anything else, or null (no reply).
int squid_verdict(const char *reply);

// Writes the reply line "[CHANNEL ]WORD[ message="MESSAGE"]\n" into buf
// (capacity size); message may be null. In the message a double quote or
// a backslash is escaped with a backslash and a control character becomes
// '?', so that no text can end the reply early or add a field. The
// message is cut to fit. Its length, or -1 when even the word does not fit.
int squid_reply(char *buf, size_t size, const char *channel, int verdict, const char *message);

#endif
