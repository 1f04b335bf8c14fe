// html.unescape in one pass over the text, in the storage width of the text
// (1-byte text, UTF-16 or code points): unescape.cpp builds it for each.
#pragma once

#include "text.h"

namespace scrape {
namespace cleaning {

// The answer for a text left to the interpreter: a decimal reference with
// more digits than int() may be allowed to convert.
constexpr std::size_t kUnescapeFallback = npos - 1;
// Unescaping 1-byte text made a character beyond U+00FF.
constexpr std::size_t kNeedsWider = npos - 3;

// Where a pass of unescape is.
struct UnescapeAt {
    std::size_t p = 0, copied = 0, w = 0;  // read up to p; s[copied..p) is still to write
    bool changed = false;
};

// One pass of
//   &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
// with html's replacement. The alternatives are tried in order; "#" is not in
// the class of the third, so "&#" without digits does not match at all. The
// greedy parts are followed only by an optional ";", so they never give back.
// Returns the new length, npos when unchanged, kUnescapeFallback, or
// kNeedsWider, with `at` then holding the place of the reference whose
// replacement 1-byte output cannot hold: a call with wider output (holding
// the output so far, widened) goes on from there. *spaced is set when a
// replacement is empty or holds white space (the text may then have white
// space other than single spaces).
// In UTF-16 a name may be cut at 32 units rather than 32 characters: that
// only changes where a name with characters beyond U+FFFF, which no
// reference has, is taken to end, and no "&" lies between the two places.
// No replacement is longer than its reference, in UTF-16 too.
template <class C, class O = C>
std::size_t unescape(const C* s, std::size_t n, O* o, bool* spaced, UnescapeAt& at);

}  // namespace cleaning
}  // namespace scrape
