// MD5 (RFC 1321) of a byte buffer, as 32 lower-case hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace scrape {
namespace hashing {
namespace md5 {

namespace detail {

inline uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

inline uint32_t load_le32(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
#else
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
#endif
}

// The four round functions, one step each: a = b + ((a + f(b, c, d) + m + k) <<< s).
// Each step waits for b, the result of the step before; what does not need
// b is added first, so that the wait is as short as the function allows.
// G(b, c, d) = (b & d) | (c & ~d) is the sum of its two parts (they share no
// bit), of which only the first needs b.
// clang reassociates the sums and adds k after f, on the path that waits for
// b (about 17% slower than this order); NX_MD5_HOLD keeps the sum as written.
#if defined(__GNUC__)
#define NX_MD5_HOLD(a) __asm__("" : "+r"(a))
#else
#define NX_MD5_HOLD(a) (void)0
#endif
#define NX_MD5_STEP(f, a, b, c, d, m, k, s) \
    (a) += (m) + (k);                       \
    NX_MD5_HOLD(a);                         \
    (a) += f(b, c, d);                      \
    (a) = rotl((a), (s)) + (b)
#define NX_MD5_STEP_G(a, b, c, d, m, k, s) \
    (a) += (m) + (k) + ((c) & ~(d));       \
    NX_MD5_HOLD(a);                        \
    (a) += (b) & (d);                      \
    (a) = rotl((a), (s)) + (b)
#define NX_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define NX_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define NX_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

// One 64-byte block into the state a, b, c, d.
inline void block(uint32_t st[4], const unsigned char* p) {
    uint32_t m[16];
    for (std::size_t i = 0; i < 16; ++i) m[i] = load_le32(p + 4 * i);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];

    NX_MD5_STEP(NX_MD5_F, a, b, c, d, m[0], 0xd76aa478, 7);
    NX_MD5_STEP(NX_MD5_F, d, a, b, c, m[1], 0xe8c7b756, 12);
    NX_MD5_STEP(NX_MD5_F, c, d, a, b, m[2], 0x242070db, 17);
    NX_MD5_STEP(NX_MD5_F, b, c, d, a, m[3], 0xc1bdceee, 22);
    NX_MD5_STEP(NX_MD5_F, a, b, c, d, m[4], 0xf57c0faf, 7);
    NX_MD5_STEP(NX_MD5_F, d, a, b, c, m[5], 0x4787c62a, 12);
    NX_MD5_STEP(NX_MD5_F, c, d, a, b, m[6], 0xa8304613, 17);
    NX_MD5_STEP(NX_MD5_F, b, c, d, a, m[7], 0xfd469501, 22);
    NX_MD5_STEP(NX_MD5_F, a, b, c, d, m[8], 0x698098d8, 7);
    NX_MD5_STEP(NX_MD5_F, d, a, b, c, m[9], 0x8b44f7af, 12);
    NX_MD5_STEP(NX_MD5_F, c, d, a, b, m[10], 0xffff5bb1, 17);
    NX_MD5_STEP(NX_MD5_F, b, c, d, a, m[11], 0x895cd7be, 22);
    NX_MD5_STEP(NX_MD5_F, a, b, c, d, m[12], 0x6b901122, 7);
    NX_MD5_STEP(NX_MD5_F, d, a, b, c, m[13], 0xfd987193, 12);
    NX_MD5_STEP(NX_MD5_F, c, d, a, b, m[14], 0xa679438e, 17);
    NX_MD5_STEP(NX_MD5_F, b, c, d, a, m[15], 0x49b40821, 22);

    NX_MD5_STEP_G(a, b, c, d, m[1], 0xf61e2562, 5);
    NX_MD5_STEP_G(d, a, b, c, m[6], 0xc040b340, 9);
    NX_MD5_STEP_G(c, d, a, b, m[11], 0x265e5a51, 14);
    NX_MD5_STEP_G(b, c, d, a, m[0], 0xe9b6c7aa, 20);
    NX_MD5_STEP_G(a, b, c, d, m[5], 0xd62f105d, 5);
    NX_MD5_STEP_G(d, a, b, c, m[10], 0x02441453, 9);
    NX_MD5_STEP_G(c, d, a, b, m[15], 0xd8a1e681, 14);
    NX_MD5_STEP_G(b, c, d, a, m[4], 0xe7d3fbc8, 20);
    NX_MD5_STEP_G(a, b, c, d, m[9], 0x21e1cde6, 5);
    NX_MD5_STEP_G(d, a, b, c, m[14], 0xc33707d6, 9);
    NX_MD5_STEP_G(c, d, a, b, m[3], 0xf4d50d87, 14);
    NX_MD5_STEP_G(b, c, d, a, m[8], 0x455a14ed, 20);
    NX_MD5_STEP_G(a, b, c, d, m[13], 0xa9e3e905, 5);
    NX_MD5_STEP_G(d, a, b, c, m[2], 0xfcefa3f8, 9);
    NX_MD5_STEP_G(c, d, a, b, m[7], 0x676f02d9, 14);
    NX_MD5_STEP_G(b, c, d, a, m[12], 0x8d2a4c8a, 20);

    NX_MD5_STEP(NX_MD5_H, a, b, c, d, m[5], 0xfffa3942, 4);
    NX_MD5_STEP(NX_MD5_H, d, a, b, c, m[8], 0x8771f681, 11);
    NX_MD5_STEP(NX_MD5_H, c, d, a, b, m[11], 0x6d9d6122, 16);
    NX_MD5_STEP(NX_MD5_H, b, c, d, a, m[14], 0xfde5380c, 23);
    NX_MD5_STEP(NX_MD5_H, a, b, c, d, m[1], 0xa4beea44, 4);
    NX_MD5_STEP(NX_MD5_H, d, a, b, c, m[4], 0x4bdecfa9, 11);
    NX_MD5_STEP(NX_MD5_H, c, d, a, b, m[7], 0xf6bb4b60, 16);
    NX_MD5_STEP(NX_MD5_H, b, c, d, a, m[10], 0xbebfbc70, 23);
    NX_MD5_STEP(NX_MD5_H, a, b, c, d, m[13], 0x289b7ec6, 4);
    NX_MD5_STEP(NX_MD5_H, d, a, b, c, m[0], 0xeaa127fa, 11);
    NX_MD5_STEP(NX_MD5_H, c, d, a, b, m[3], 0xd4ef3085, 16);
    NX_MD5_STEP(NX_MD5_H, b, c, d, a, m[6], 0x04881d05, 23);
    NX_MD5_STEP(NX_MD5_H, a, b, c, d, m[9], 0xd9d4d039, 4);
    NX_MD5_STEP(NX_MD5_H, d, a, b, c, m[12], 0xe6db99e5, 11);
    NX_MD5_STEP(NX_MD5_H, c, d, a, b, m[15], 0x1fa27cf8, 16);
    NX_MD5_STEP(NX_MD5_H, b, c, d, a, m[2], 0xc4ac5665, 23);

    NX_MD5_STEP(NX_MD5_I, a, b, c, d, m[0], 0xf4292244, 6);
    NX_MD5_STEP(NX_MD5_I, d, a, b, c, m[7], 0x432aff97, 10);
    NX_MD5_STEP(NX_MD5_I, c, d, a, b, m[14], 0xab9423a7, 15);
    NX_MD5_STEP(NX_MD5_I, b, c, d, a, m[5], 0xfc93a039, 21);
    NX_MD5_STEP(NX_MD5_I, a, b, c, d, m[12], 0x655b59c3, 6);
    NX_MD5_STEP(NX_MD5_I, d, a, b, c, m[3], 0x8f0ccc92, 10);
    NX_MD5_STEP(NX_MD5_I, c, d, a, b, m[10], 0xffeff47d, 15);
    NX_MD5_STEP(NX_MD5_I, b, c, d, a, m[1], 0x85845dd1, 21);
    NX_MD5_STEP(NX_MD5_I, a, b, c, d, m[8], 0x6fa87e4f, 6);
    NX_MD5_STEP(NX_MD5_I, d, a, b, c, m[15], 0xfe2ce6e0, 10);
    NX_MD5_STEP(NX_MD5_I, c, d, a, b, m[6], 0xa3014314, 15);
    NX_MD5_STEP(NX_MD5_I, b, c, d, a, m[13], 0x4e0811a1, 21);
    NX_MD5_STEP(NX_MD5_I, a, b, c, d, m[4], 0xf7537e82, 6);
    NX_MD5_STEP(NX_MD5_I, d, a, b, c, m[11], 0xbd3af235, 10);
    NX_MD5_STEP(NX_MD5_I, c, d, a, b, m[2], 0x2ad7d2bb, 15);
    NX_MD5_STEP(NX_MD5_I, b, c, d, a, m[9], 0xeb86d391, 21);

    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

#undef NX_MD5_STEP
#undef NX_MD5_F
#undef NX_MD5_STEP_G
#undef NX_MD5_H
#undef NX_MD5_I
#undef NX_MD5_HOLD

}  // namespace detail

// Writes the 32 hexadecimal digits of MD5(data[0..len)) to out (no terminator).
inline void hex_digest(const void* data, size_t len, char out[32]) {
    uint32_t st[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t full = len / 64;
    for (size_t i = 0; i < full; ++i) detail::block(st, p + 64 * i);

    // Padding: 0x80, zeros, then the bit length (little endian) in the last 8 bytes.
    unsigned char tail[128] = {0};
    size_t rest = len - full * 64;
    std::memcpy(tail, p + full * 64, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest < 56 ? 64 : 128;
    uint64_t bits = (uint64_t)len * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 8 + i] = (unsigned char)(bits >> (8 * i));
    detail::block(st, tail);
    if (tail_len == 128) detail::block(st, tail + 64);

    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            unsigned char byte = (unsigned char)(st[i] >> (8 * j));
            out[8 * i + 2 * j] = hex[byte >> 4];
            out[8 * i + 2 * j + 1] = hex[byte & 15];
        }
    }
}

}  // namespace md5
}  // namespace hashing
}  // namespace scrape
