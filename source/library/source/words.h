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
