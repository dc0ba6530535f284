#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"

// A digest of bytes given in pieces, to compare a line with what the list
// holds, or look a name up, without keeping the bytes. Two digests of the
// same bytes with different seeds are as good as one of 128 bits.
struct Digest {
  explicit Digest(std::uint64_t seed = 0x9E3779B97F4A7C15u) : state(seed) {}
  std::uint64_t state;
  std::uint64_t word = 0;
  unsigned filled = 0;  // bytes in word
  std::uint64_t length = 0;
};

// The seed of a name's second digest.
constexpr std::uint64_t kSecondSeed = 0xC2B2AE3D27D4EB4Fu;

void Mix(Digest& digest, std::uint64_t word);
void AddBytes(Digest& digest, ByteView bytes);
std::uint64_t ValueOf(Digest digest);

// The digest of the line made of the two parts, with its CR LF.
std::uint64_t LineDigest(ByteView name_part, ByteView description);
// The digest of a name's key: one name, one digest.
std::uint64_t NameDigest(ByteView key, std::uint64_t seed = Digest().state);

// A name as the list's readers take it, known by two digests of its key
// (NameKey): the one way the run tells names apart.
struct NameId {
  std::uint64_t first = 0;
  std::uint32_t second = 0;
  bool operator==(const NameId& other) const { return first == other.first && second == other.second; }
  bool operator<(const NameId& other) const {
    return first != other.first ? first < other.first : second < other.second;
  }
};
inline NameId NameIdOf(ByteView key) {
  return {NameDigest(key), static_cast<std::uint32_t>(NameDigest(key, kSecondSeed))};
}
struct NameIdHash {
  std::size_t operator()(const NameId& name) const { return static_cast<std::size_t>(name.first); }
};

// The first n bytes (at most 8) of bytes as a word, the rest zero: a line
// whose name is a key begins with the key's first bytes, so that a filter on
// them passes by most lines at the cost of one load. Letters are taken in
// lower case (ASCII) where fold is set. Only compared within a run.
inline std::uint64_t HeadWord(ByteView bytes, std::size_t n, bool fold) {
  std::uint64_t word = 0;
  if (n >= 8 && bytes.size() >= 8) {
    std::memcpy(&word, bytes.data(), 8);
  } else {
    unsigned char head[8] = {0};
    std::memcpy(head, bytes.data(), std::min({n, bytes.size(), std::size_t{8}}));
    std::memcpy(&word, head, 8);
  }
  if (!fold) return word;
  // Each byte of A to Z gets the bit of lower case, all eight at once.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  const std::uint64_t low = word & (0x7F * kOnes);
  const std::uint64_t from_a = low + (0x80 - 'A') * kOnes;
  const std::uint64_t past_z = low + (0x80 - 'Z' - 1) * kOnes;
  return word | ((from_a & ~past_z & ~word & (0x80 * kOnes)) >> 2);
}
