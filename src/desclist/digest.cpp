#include "desclist/digest.h"

#include <algorithm>
#include <cstring>

#include "textfile/line_file.h"

void Mix(Digest& digest, std::uint64_t word) {
  digest.state = (digest.state ^ word) * 0xFF51AFD7ED558CCDu;
  digest.state ^= digest.state >> 29;
}

void AddBytes(Digest& digest, ByteView bytes) {
  digest.length += bytes.size();
  std::size_t i = 0;
  while (i < bytes.size() && digest.filled != 0) {
    digest.word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i++])) << (8 * digest.filled);
    if (++digest.filled == 8) {
      Mix(digest, digest.word);
      digest.word = 0;
      digest.filled = 0;
    }
  }
  // Whole words in machine byte order: digests are only compared in a run.
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    Mix(digest, word);
  }
  for (; i < bytes.size(); ++i) {
    digest.word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * digest.filled++);
  }
}

std::uint64_t ValueOf(Digest digest) {
  if (digest.filled != 0) Mix(digest, digest.word);
  Mix(digest, digest.length);
  return digest.state;
}

std::uint64_t NameDigest(ByteView key, std::uint64_t seed) {
  Digest digest(seed);
  AddBytes(digest, key);
  return ValueOf(digest);
}

std::uint64_t LineDigest(ByteView name_part, ByteView description) {
  Digest digest;
  AddBytes(digest, name_part);
  AddBytes(digest, description);
  AddBytes(digest, kCrLf);
  return ValueOf(digest);
}
