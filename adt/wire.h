// The limits of a line on the wire, and the protocol's word for "no
// password", written once for Corvane, its library, the modules, the
// adapters and the PAM module. Every side of every pipe and socket holds to
// the same numbers, so a line one side can send the other can read. Plain C
// reads the ADT_ names (adapters/askd.h).
#ifndef ADT_WIRE_H
#define ADT_WIRE_H

// The characters of a request or reply line before its line feed. A client
// line of more, or a request that would need more, is refused whole rather
// than cut: a cut line would be a different command.
#define ADT_WIRE_TEXT 997
// The text buffers that carry lines, names and replies: a whole line, its
// terminating NUL and one byte to tell "full" from "longer than a line".
#define ADT_WIRE_BUF 1000

#ifdef __cplusplus
namespace adt
{

inline constexpr int WIRE_TEXT = ADT_WIRE_TEXT;
// A whole line with its line feed: what the channel's input buffer holds.
inline constexpr int WIRE_LINE = WIRE_TEXT + 1;
inline constexpr int WIRE_BUF = ADT_WIRE_BUF;
static_assert(WIRE_BUF >= WIRE_LINE + 2, "a buffer holds a whole line, a NUL and one more byte");

// The password of a set that carries none, and so changes only the user's
// extra information: the text the library's formatter writes for a null
// text, exactly so and in this letter case. A check never succeeds with it.
inline constexpr char WIRE_NO_PASSWORD[] = "(NULL)";

} // namespace adt
#endif

#endif
