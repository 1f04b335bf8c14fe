// The 128-bit vectors of the text cleaner and the JSON writer, chosen when the
// module is built: SSE2 on x86-64, NEON on aarch64, none elsewhere or in the
// scalar build (NX_SCALAR), where every stage runs its character loops alone.
// NX_VEC128 is 1 where the vectors exist. Each set lives in its own header,
// with the same operations under the same names (namespace scrape::simd):
//
//   reg, load, store, load64 (8 bytes, zero above), from64 (two halves),
//   zero, set8/16/32, eq8/16/32, lt_s8, gt_s16, lt_s32/gt_s32 (signed),
//   sub16/32, subs_u8/16 (unsigned saturating), or_, and_, xor_,
//   pack_s32 and pack_s16 (signed saturating narrowing of a then b),
//   pack_us16 (signed 16 to unsigned 8, saturating), zip_lo8/hi8/lo16/hi16
//   (the lanes of the low or high halves of a and b interleaved),
//   shl_bytes<N>/shr_bytes<N> (towards higher / lower lanes, zeros shifted in),
//   mask (one bit per byte: its top bit, as x86's movemask gives it),
//   mask32 (one bit per 32-bit lane: its top bit), or_lanes32.
//
// The kernel sets of clean_scan_*.cpp are chosen apart from these: the wider
// AVX2 set when the module loads, the others here, when it is built.
#pragma once

#if !defined(NX_SCALAR) && defined(__SSE2__)
#include "vec128_sse2.h"
#define NX_VEC128 1
#define NX_VEC128_NAME "sse2"
#elif !defined(NX_SCALAR) && defined(__aarch64__) && defined(__ARM_NEON)
#include "vec128_neon.h"
#define NX_VEC128 1
#define NX_VEC128_NAME "neon"
#else
#define NX_VEC128 0
#define NX_VEC128_NAME "scalar"
#endif
