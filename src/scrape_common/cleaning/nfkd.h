// NFKD by the tables taken from unicodedata at build time, for the text
// cleaner's last stage: nfkd.cpp builds it for each width of text.
#pragma once

#include "clean_html_tables.h"  // made at build time by tools/gen_html_tables.py
#include "text.h"

namespace scrape {
namespace cleaning {

// NFKD over code points with the tables taken from unicodedata at build
// time: the full compatibility decomposition of every character, then the
// canonical ordering exactly as unicodedata performs it (an insertion sort
// that moves a character of non-zero combining class back past characters of
// higher non-zero class).
inline std::uint32_t nfkd_entry(U c) {
    if (c >= clean_tables::kDecompLimit) return 0;
    return clean_tables::kDecompStage2[clean_tables::kDecompStage1[c / clean_tables::kNfkdBlock] *
                                           clean_tables::kNfkdBlock +
                                       c % clean_tables::kNfkdBlock];
}
inline int combining_class(U c) {
    if (c >= clean_tables::kCccLimit) return 0;
    return clean_tables::kCccStage2[clean_tables::kCccStage1[c / clean_tables::kNfkdBlock] *
                                        clean_tables::kNfkdBlock +
                                    c % clean_tables::kNfkdBlock];
}

// The decompositions of U+0080..U+00FF, made from the tables once. Each
// starts with a character of class 0 and is in canonical order (checked when
// made: else the table is not used), so 1-byte text needs no reordering.
struct Latin1Nfkd {
    struct Entry {
        std::uint16_t d[4];
        std::uint8_t len;
        std::uint8_t last_class;  // the combining class of the last of d
        bool decomposes;
        U bits;  // the or of d
    };
    Entry e[128];
    bool usable = true;
};
// The table of U+0080..U+00FF, made once.
const Latin1Nfkd& latin1_nfkd();

// Writes NFKD(s[0..n)) to out (*out_len places); returns whether anything
// differs from the input. *max_bits gets the bitwise or of the characters
// written other than ASCII, with 0x7F (a bound in the storage class of the
// largest). The buffer grows as decompositions need: it always
// has room for what is written plus one place per character still to read.
//
// The input is 1-byte text, UTF-16 (whose pairs are read as one character)
// or code points; the output is code points (O = U), or UTF-16 without
// pairs (O = std::uint16_t): then, for 1-byte text or UTF-16 only, the answer
// is kNfkdWider when the result leaves the BMP or needs reordering (and
// nfkd_native must do it with code points).
constexpr int kNfkdWider = -1;
template <class O = U, class C>
int nfkd_native(const C* s, std::size_t n, Buf& out, std::size_t* out_len, U* max_bits);

#if NX_VEC128
// NFKD of 1-byte text as UTF-16, by the table `t` of U+0080..U+00FF (usable).
bool nfkd_latin1(const std::uint8_t* s, std::size_t n, Buf& out, std::size_t* out_len, U* max_bits,
                 const Latin1Nfkd& t);
#endif

}  // namespace cleaning
}  // namespace scrape
