// The containers store opaque key and data words and never interpret them.
// Callers convert their pointers and numbers at the edge with these two.
#pragma once

#include <cstdint>
#include <type_traits>

using Word = std::uintptr_t;

template <class T> Word toWord(T value) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<Word>(value);
  else
    return static_cast<Word>(value);
}

template <class T> T fromWord(Word word) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<T>(word);
  else
    return static_cast<T>(word);
}

// A hash for keys that are words, such as addresses: every bit of the word
// reaches every bit of the hash. (Addresses of pool units differ only in a
// few bits, which a byte hash folds onto few values.)
inline unsigned hashWord(Word word) {
  std::uint64_t mixed = word;
  mixed ^= mixed >> 33;
  mixed *= 0xff51afd7ed558ccdull;
  mixed ^= mixed >> 33;
  return static_cast<unsigned>(mixed);
}
