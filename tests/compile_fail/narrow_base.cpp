// Must not compile: bases of 8 bits cannot reach the positions of the smallest array.
#include <cstdint>

#include <tessel/double_array.h>

int main() {
  Tessel::DoubleArrayImpl<char, unsigned char, std::int8_t, unsigned, Tessel::Length<char>> trie;
  return static_cast<int>(trie.size());
}
