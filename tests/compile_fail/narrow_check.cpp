// Must not compile: a check type of 8 bits cannot hold code 256, so byte 0xff would become code
// 0 and keys would be lost.
#include <tessel/double_array.h>

int main() {
  Tessel::DoubleArrayImpl<char, unsigned char, int, unsigned char, Tessel::Length<char>> trie;
  return static_cast<int>(trie.size());
}
