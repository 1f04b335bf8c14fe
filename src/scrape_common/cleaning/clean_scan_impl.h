// The scanning kernels written once over a vector type V, included (inside an
// unnamed namespace) by each file that builds them for one instruction-set
// level, before it defines its V. V offers: reg, bytes, load, store, set1<C>, eq<C>, or_, and_,
// mask (one bit per byte, as movemask gives it).
//
// Only for the inclusion of the kernel files: everything here must stay
// internal to them, so that no code built for a wider instruction set is
// shared with the rest of the module.

#if defined(NX_VEC128) && NX_VEC128
// The operations of V for the 128-bit vectors of simd/vec128.h (the SSE2 and
// NEON sets): a set adds only `narrow` and `narrower`.
struct Vec128Lanes {
    using reg = simd::reg;
    static constexpr std::size_t bytes = 16;
    static reg load(const void* p) { return simd::load(p); }
    static void store(void* p, reg v) { simd::store(p, v); }
    static reg zero() { return simd::zero(); }
    template <class C>
    static reg set1(std::uint32_t c) {
        if constexpr (sizeof(C) == 1) return simd::set8(c);
        if constexpr (sizeof(C) == 2) return simd::set16(c);
        return simd::set32(c);
    }
    template <class C>
    static reg eq(reg a, reg b) {
        if constexpr (sizeof(C) == 1) return simd::eq8(a, b);
        if constexpr (sizeof(C) == 2) return simd::eq16(a, b);
        return simd::eq32(a, b);
    }
    static reg or_(reg a, reg b) { return simd::or_(a, b); }
    static reg and_(reg a, reg b) { return simd::and_(a, b); }
    static reg xor_(reg a, reg b) { return simd::xor_(a, b); }
    static unsigned mask(reg m) { return simd::mask(m); }
    static reg gt32(reg a, reg b) { return simd::gt_s32(a, b); }
};
#endif

// Do the n1 bytes at a and the n2 bytes at b not overlap?
inline bool apart(const void* a, std::size_t n1, const void* b, std::size_t n2) {
    const auto x = reinterpret_cast<std::uintptr_t>(a), y = reinterpret_cast<std::uintptr_t>(b);
    return x + n1 <= y || y + n2 <= x;
}

template <class C>
constexpr std::uint32_t max_of() {
    return sizeof(C) == 1 ? 0xFFu : sizeof(C) == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

inline bool in_set(std::uint32_t c, const Needles& set) {
    for (int i = 0; i < set.k; ++i)
        if (c == set.c[i]) return true;
    return false;
}

// (The kernels of the narrower vectors, V::narrower() or nullptr for none,
// take a text, or the rest of one, too short for a whole vector of V: in
// 16-byte steps, they leave fewer characters to the one-at-a-time loops.)

// The needles that a character of type C can equal: `set` itself (most
// callers pass only such), or those of it copied to `room`. Both are the
// caller's named sets, which outlive the call.
template <class C>
const Needles& fitting(const Needles& set, Needles& room) {
    if constexpr (sizeof(C) < 4) {
        // All six places at once: those after the k needles hold 0 in a set
        // made as an aggregate (anything else there only costs the copy).
        std::uint32_t any = 0;
        for (std::uint32_t c : set.c) any |= c;
        if (any > max_of<C>()) {
            room.k = 0;
            for (int i = 0; i < set.k; ++i)
                if (set.c[i] <= max_of<C>()) room.c[room.k++] = set.c[i];
            return room;
        }
    }
    return set;  // NOLINT(bugprone-return-const-ref-from-parameter): see above
}

// The kernels take the number of needles as a template argument where it is
// small, so that their vector loops and broadcasts are unrolled; 0 stands
// for "k, counted at run time".
template <int K>
constexpr int count(int k) {
    return K ? K : k;
}

// The needles as vectors.
template <class V, class C, int K>
struct Broadcast {
    typename V::reg v[K ? K : 6];
    explicit Broadcast(const Needles& set) {
        for (int i = 0; i < count<K>(set.k); ++i) v[i] = V::template set1<C>(set.c[i]);
    }
};

template <class V, class C, int K>
std::size_t find_any_k(const C* s, std::size_t p, std::size_t n, const Needles& set) {
    constexpr std::size_t L = V::bytes / sizeof(C);
    if constexpr (L > 0) {
        const Broadcast<V, C, K> needles(set);
        const typename V::reg* v = needles.v;
        const int k = set.k;
        auto hits = [&](std::size_t at) {
            typename V::reg x = V::load(s + at);
            typename V::reg m = V::template eq<C>(x, v[0]);
            for (int i = 1; i < count<K>(k); ++i) m = V::or_(m, V::template eq<C>(x, v[i]));
            return V::mask(m);
        };
        for (; p + L <= n; p += L) {
            __builtin_prefetch(s + p + 4096 / sizeof(C));
            if (unsigned bits = hits(p)) return p + (std::size_t)__builtin_ctz(bits) / sizeof(C);
        }
        if (p < n && n >= L) {
            // The rest in one block that ends at n, without the places before p.
            const std::size_t at = n - L;
            const unsigned bits = hits(at) & ~((1u << ((p - at) * sizeof(C))) - 1u);
            return bits ? at + (std::size_t)__builtin_ctz(bits) / sizeof(C) : n;
        }
    }
    for (; p < n; ++p)
        if (in_set(s[p], set)) return p;
    return n;
}

template <class V, class C>
std::size_t find_any(const C* s, std::size_t p, std::size_t n, const Needles& needles) {
    NX_ASSERT(p <= n && needles.k >= 0 && needles.k <= 6);
    if (const Kernels* nk = V::narrower(); nk && n < V::bytes / sizeof(C))
        return ops_of<C>(*nk).find_any(s, p, n, needles);
    Needles room;
    const Needles& set = fitting<C>(needles, room);
    switch (set.k) {
        case 0: return n;
        case 1: return find_any_k<V, C, 1>(s, p, n, set);
        case 2: return find_any_k<V, C, 2>(s, p, n, set);
        case 3: return find_any_k<V, C, 3>(s, p, n, set);
        case 5: return find_any_k<V, C, 5>(s, p, n, set);
        default: return find_any_k<V, C, 0>(s, p, n, set);
    }
}

template <class V, class C, int KA, int KB>
std::size_t find_pair_k(const C* s, std::size_t p, std::size_t n, const Needles& first,
                        const Needles& second, C* o) {
    constexpr std::size_t L = V::bytes / sizeof(C);
    const std::size_t p0 = p;
    if constexpr (L > 0) {
        const Broadcast<V, C, KA> needles_a(first);
        const Broadcast<V, C, KB> needles_b(second);
        const typename V::reg *va = needles_a.v, *vb = needles_b.v;
        const int ka = first.k, kb = second.k;
        // The pairs starting in the block at s[at..]: x its first characters.
        auto pairs = [&](std::size_t at, typename V::reg x) {
            typename V::reg fst = V::template eq<C>(x, va[0]);
            for (int i = 1; i < count<KA>(ka); ++i) fst = V::or_(fst, V::template eq<C>(x, va[i]));
            typename V::reg y = V::load(s + at + 1);
            typename V::reg sec = V::template eq<C>(y, vb[0]);
            for (int i = 1; i < count<KB>(kb); ++i) sec = V::or_(sec, V::template eq<C>(y, vb[i]));
            return V::mask(V::and_(fst, sec));
        };
        for (; p + L + 1 <= n; p += L) {
            __builtin_prefetch(s + p + 4096 / sizeof(C));
            typename V::reg x = V::load(s + p);
            if (o) V::store(o + (p - p0), x);
            if (unsigned bits = pairs(p, x))
                return p + (std::size_t)__builtin_ctz(bits) / sizeof(C);
        }
        if (p + 1 < n && n >= L + 1) {
            // The rest in one block of first characters that ends at n - 1,
            // without the places before p; the rest is copied as it is.
            const std::size_t at = n - 1 - L;
            const unsigned bits = pairs(at, V::load(s + at)) &
                                  ~((1u << ((p - at) * sizeof(C))) - 1u);
            if (o) std::memcpy(o + (p - p0), s + p, (n - p) * sizeof(C));
            return bits ? at + (std::size_t)__builtin_ctz(bits) / sizeof(C) : n;
        }
    }
    if (const Kernels* nk = V::narrower(); nk && p < n)
        return ops_of<C>(*nk).find_pair(s, p, n, first, second, o ? o + (p - p0) : nullptr);
    for (; p + 1 < n; ++p) {
        if (o) o[p - p0] = s[p];
        if (in_set(s[p], first) && in_set(s[p + 1], second)) return p;
    }
    if (o)
        for (; p < n; ++p) o[p - p0] = s[p];
    return n;
}

template <class V, class C>
std::size_t find_pair(const C* s, std::size_t p, std::size_t n, const Needles& first_needles,
                      const Needles& second_needles, C* o) {
    NX_ASSERT(p <= n && first_needles.k <= 6 && second_needles.k <= 6);
    // The copy goes to another buffer.
    NX_ASSERT(!o || p == n || apart(o, (n - p) * sizeof(C), s + p, (n - p) * sizeof(C)));
    Needles room_a, room_b;
    const Needles& first = fitting<C>(first_needles, room_a);
    const Needles& second = fitting<C>(second_needles, room_b);
    if (first.k == 0 || second.k == 0) {  // no character of this width can start a match
        if (o && p < n) std::memcpy(o, s + p, (n - p) * sizeof(C));
        return n;
    }
    // clang-format off: one case a pair of needle counts, in rows
#define NX_PAIR(a, b) \
    case (a) * 8 + (b): return find_pair_k<V, C, a, b>(s, p, n, first, second, o);
    switch (first.k * 8 + second.k) {
        NX_PAIR(1, 1) NX_PAIR(1, 2) NX_PAIR(1, 3) NX_PAIR(1, 4)
        NX_PAIR(2, 1) NX_PAIR(2, 2) NX_PAIR(2, 3) NX_PAIR(2, 4) NX_PAIR(2, 5)
        default: return find_pair_k<V, C, 0, 0>(s, p, n, first, second, o);
    }
#undef NX_PAIR
    // clang-format on
}

template <class C>
unsigned survey_char(C c) {
    unsigned f = 0;
    if (c == '&') f |= kAmp;
    if (c == '<') f |= kLt;
    if (c == '*') f |= kStar;
    if (c == '\r' || c == '\n' || c == '\t' || c == 0x99) f |= kControls;
    if (sizeof(C) > 1 && c >= 0xD800 && c <= 0xDFFF) f |= kSurrogates;
    return f;
}

// The survey bits of a text fed to it vector by vector; only those in Need.
template <class V, class C, unsigned Need = kAmp | kLt | kStar | kControls | kSurrogates>
struct Surveyor {
    using R = typename V::reg;
    const R amp = V::template set1<C>('&'), lt = V::template set1<C>('<'),
            star = V::template set1<C>('*'), cr = V::template set1<C>('\r'),
            lf = V::template set1<C>('\n'), tab = V::template set1<C>('\t'),
            c99 = V::template set1<C>(0x99);
    const R sur_mask = V::template set1<C>(sizeof(C) == 1 ? 0 : 0xFFFFF800u),
            sur = V::template set1<C>(sizeof(C) == 1 ? 1 : 0xD800u);
    R m_amp = V::zero(), m_lt = V::zero(), m_star = V::zero(), m_ctl = V::zero(), m_sur = V::zero();

    void take(R x) {
        if constexpr ((Need & kAmp) != 0) m_amp = V::or_(m_amp, V::template eq<C>(x, amp));
        if constexpr ((Need & kLt) != 0) m_lt = V::or_(m_lt, V::template eq<C>(x, lt));
        if constexpr ((Need & kStar) != 0) m_star = V::or_(m_star, V::template eq<C>(x, star));
        if constexpr ((Need & kControls) != 0) {
            R ctl = V::or_(V::template eq<C>(x, cr), V::template eq<C>(x, lf));
            ctl = V::or_(ctl, V::or_(V::template eq<C>(x, tab), V::template eq<C>(x, c99)));
            m_ctl = V::or_(m_ctl, ctl);
        }
        if constexpr ((Need & kSurrogates) != 0 && sizeof(C) > 1)
            m_sur = V::or_(m_sur, V::template eq<C>(V::and_(x, sur_mask), sur));
    }
    unsigned bits() const {
        return (V::mask(m_amp) ? kAmp : 0) | (V::mask(m_lt) ? kLt : 0) |
               (V::mask(m_star) ? kStar : 0) | (V::mask(m_ctl) ? kControls : 0) |
               (V::mask(m_sur) ? kSurrogates : 0);
    }
};

template <class V, class C>
unsigned survey(const C* s, std::size_t n) {
    constexpr std::size_t L = V::bytes / sizeof(C);
    if (const Kernels* nk = V::narrower(); nk && n < L) return ops_of<C>(*nk).survey(s, n);
    Surveyor<V, C> sv;
    std::size_t i = 0;
    for (; L > 0 && i + L <= n; i += L) sv.take(V::load(s + i));
    if (L > 0 && i < n && n >= L) {  // the rest in one block that ends at n
        sv.take(V::load(s + n - L));
        i = n;
    }
    unsigned f = sv.bits();
    for (; i < n; ++i) f |= survey_char(s[i]);
    return f;
}

// The specials of copy_controls in a vector: "&", the controls and U+0099.
template <class V, class C>
struct Specials {
    using R = typename V::reg;
    const R amp = V::template set1<C>('&'), cr = V::template set1<C>('\r'),
            lf = V::template set1<C>('\n'), tab = V::template set1<C>('\t'),
            c99 = V::template set1<C>(0x99);
    unsigned operator()(R x) const {
        R m = V::or_(V::template eq<C>(x, amp), V::template eq<C>(x, cr));
        m = V::or_(m, V::or_(V::template eq<C>(x, lf), V::template eq<C>(x, tab)));
        return V::mask(V::or_(m, V::template eq<C>(x, c99)));
    }
    // "\r", "\n" and "\t" alone.
    unsigned controls(R x) const {
        const R m = V::or_(V::template eq<C>(x, cr), V::template eq<C>(x, lf));
        return V::mask(V::or_(m, V::template eq<C>(x, tab)));
    }
};

// What copy_controls does with a character other than "&".
template <class C>
inline void copy_control(C c, C* o, Controls& st) {
    if (c == '\r' || c == '\n' || c == '\t') {
        if (!st.run) o[st.w++] = ' ';
        st.run = st.changed = true;
    } else if (c == 0x99) {
        st.changed = true;
    } else {
        o[st.w++] = c;
        st.run = false;
    }
}

// One step of copy_controls over the vector x of the characters s[p..]:
// the vector is stored whole, and the part after the first special (marked
// in `bits`) is written over later. A run of controls that starts there
// goes as far as the vector shows it. False at an "&", with p on it.
template <class V, class C, class In>
inline bool copy_block(typename V::reg x, unsigned bits, const In* s, std::size_t& p, C* o,
                       Controls& c, const Specials<V, C>& specials) {
    constexpr std::size_t L = V::bytes / sizeof(C);
    V::store(o + c.w, x);
    if (!bits) {
        c.w += L, p += L;
        c.run = false;
        return true;
    }
    const std::size_t k = (std::size_t)__builtin_ctz(bits) / sizeof(C);
    if (k) {
        c.w += k, p += k;
        c.run = false;
    }
    if (s[p] == '&') return false;
    if (const unsigned ctl = specials.controls(x) >> (k * sizeof(C)); ctl & 1u) {
        if (!c.run) o[c.w++] = ' ';
        c.run = c.changed = true;
        // (In 64 bits: a block of controls only leaves no zero in 32.)
        p += (std::size_t)__builtin_ctzll(~(std::uint64_t)ctl) / sizeof(C);
        return true;
    }
    copy_control((C)s[p++], o, c);
    return true;
}

template <class V, class C>
std::size_t copy_controls(const C* s, std::size_t p, std::size_t n, C* o, Controls* st) {
    constexpr std::size_t L = V::bytes / sizeof(C);
    // o does not overlap s, where the n - p characters go.
    NX_ASSERT(p <= n && apart(o + st->w, (n - p) * sizeof(C), s + p, (n - p) * sizeof(C)));
    Controls c = *st;
    Surveyor<V, C, kStar | kSurrogates> sv;  // an "&" ends the copy
    if constexpr (L > 0) {
        const Specials<V, C> specials;
        while (p + L <= n) {
            __builtin_prefetch(s + p + 4096 / sizeof(C));
            const typename V::reg x = V::load(s + p);
            sv.take(x);
            if (!copy_block<V, C>(x, specials(x), s, p, o, c, specials)) break;
        }
        if (const Kernels* nk = V::narrower(); nk && p < n && s[p] != '&') {
            c.flags |= sv.bits();
            *st = c;
            return ops_of<C>(*nk).copy_controls(s, p, n, o, st);
        }
        // The rest in one block that ends at n, when it holds no special:
        // stored over the output so that its lanes before p keep what the
        // output holds there (k places back).
        if (p < n && n >= L && s[p] != '&') {
            const std::size_t at = n - L, k = p - at;  // 0 < k < L
            const typename V::reg x = V::load(s + at);
            const unsigned before = (1u << (k * sizeof(C))) - 1u;
            if (c.w >= k && !(specials(x) & ~before)) {
                // 32 bytes of 0, then 32 of 0xFF: from 32 - k places on, the
                // lanes from p on.
                alignas(64) static const unsigned char ramp[64] = {
#define NX_16(v) v, v, v, v, v, v, v, v, v, v, v, v, v, v, v, v
                    NX_16(0), NX_16(0), NX_16(0xFF), NX_16(0xFF)};
#undef NX_16
                static_assert(V::bytes <= 32, "the ramp holds 32 bytes of each");
                const typename V::reg rest = V::load(ramp + 32 - k * sizeof(C));
                C* d = o + c.w - k;
                const typename V::reg held = V::load(d);
                V::store(d, V::xor_(held, V::and_(V::xor_(held, x), rest)));
                sv.take(x);  // its lanes before p were read before
                c.w += n - p;
                c.run = false;
                p = n;
            }
        }
    }
    for (; p < n && s[p] != '&'; ++p) {
        c.flags |= survey_char(s[p]);
        copy_control(s[p], o, c);
    }
    c.flags |= sv.bits() | (p < n ? kAmp : 0);
    *st = c;
    return p;
}

// The same from 4-byte text to UTF-16. Blocks of characters below U+D800
// are narrowed whole; the others go one at a time.
template <class V>
std::size_t narrow_controls(const std::uint32_t* s, std::size_t p, std::size_t n, std::uint16_t* o,
                            Controls* st) {
    using W = std::uint16_t;
    // Up to two units a character, in another buffer.
    NX_ASSERT(p <= n && apart(o + st->w, (n - p) * 2 * sizeof(W), s + p, (n - p) * sizeof(*s)));
    constexpr std::size_t L = V::bytes / 2;  // characters per narrowed vector
    Controls c = *st;
    Surveyor<V, W, kStar> sv;  // an "&" ends the copy, and pairs are seen one by one
    bool stop = false;
    // One character; false at a surrogate code point.
    auto one = [&](std::uint32_t ch) {
        if (ch - 0xD800u < 0x800u) return false;
        if (ch == '&') {
            c.flags |= kAmp;
            stop = true;
        } else if (ch < 0x10000) {
            c.flags |= survey_char((W)ch);
            copy_control((W)ch, o, c);
        } else {
            o[c.w++] = (W)(0xD800 | ((ch - 0x10000) >> 10));
            o[c.w++] = (W)(0xDC00 | (ch & 0x3FF));
            c.flags |= kSurrogates;
            c.run = false;
        }
        return true;
    };
    std::size_t r = n;
    if constexpr (L > 0) {
        const Specials<V, W> specials;
        const typename V::reg below = V::template set1<std::uint32_t>(0xD7FF);
        while (p + L <= n) {
            __builtin_prefetch(s + p + 1024);
            const typename V::reg a = V::load(s + p), b = V::load(s + p + L / 2);
            if (V::mask(V::or_(V::gt32(a, below), V::gt32(b, below)))) {
                for (const std::size_t end = p + L; p < end && !stop; ++p)
                    if (!one(s[p])) return kNotUtf16;
                if (stop) {
                    r = p - 1;
                    goto done;
                }
                continue;
            }
            const typename V::reg x = V::narrow(a, b);
            sv.take(x);
            if (!copy_block<V, W>(x, specials(x), s, p, o, c, specials)) {
                c.flags |= kAmp;
                r = p;
                goto done;
            }
        }
    }
    for (; p < n; ++p) {
        if (!one(s[p])) return kNotUtf16;
        if (stop) {
            r = p;
            break;
        }
    }
done:
    __attribute__((unused));  // (the scalar set has no vector loop to come from)
    c.flags |= sv.bits();
    *st = c;
    return r;
}

template <class V, class C>
constexpr Ops<C> ops() {
    return Ops<C>{find_any<V, C>, find_pair<V, C>, survey<V, C>, copy_controls<V, C>};
}

template <class V>
constexpr Kernels kernels(const char* name) {
    return Kernels{name, ops<V, std::uint8_t>(), ops<V, std::uint16_t>(), ops<V, std::uint32_t>(),
                   narrow_controls<V>};
}
