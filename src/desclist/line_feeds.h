#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The one way the list is split into lines (the tail at open, the
// replacement's scan): each(position) is called for the line feeds of
// data[from, to) in order, until it returns false. With SSE2, 64 bytes are
// looked at a time: most lines of a large list pass with a few instructions.
template <typename Each>
inline void ForEachLineFeed(const char* data, std::size_t from, std::size_t to, Each each) {
#if defined(__SSE2__)
  const __m128i line_feeds = _mm_set1_epi8('\n');
  const auto mask_of = [&](std::size_t at) {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)), line_feeds))));
  };
  for (; from + 64 <= to; from += 64) {
    std::uint64_t mask = mask_of(from) | mask_of(from + 16) << 16 | mask_of(from + 32) << 32 | mask_of(from + 48) << 48;
    for (; mask != 0; mask &= mask - 1) {
      if (!each(from + static_cast<std::size_t>(__builtin_ctzll(mask)))) return;
    }
  }
#endif
  while (from < to) {
    const void* const lf = std::memchr(data + from, '\n', to - from);
    if (lf == nullptr) return;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
    if (!each(at)) return;
    from = at + 1;
  }
}
