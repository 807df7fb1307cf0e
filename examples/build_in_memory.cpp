// Builds a trie from keys held in memory, looks one up by the index format's rule, and saves it.
#include <cstdio>
#include <cstring>

#include <tessel/double_array.h>

int main() {
  const char* keys[] = {"apple", "apricot", "banana", "band"};
  const int values[] = {10, 20, 30, 40};
  Tessel::DoubleArray trie;
  if (trie.build(4, keys, nullptr, values) != 0) return 1;

  // Follow code byte + 1 for each byte, then code 0 to the terminal unit.
  const auto* units = trie.array();
  const char* query = "banana";
  std::size_t node = 0;
  bool found = true;
  for (std::size_t i = 0; found && i <= std::strlen(query); ++i) {
    const std::size_t code = query[i] ? static_cast<unsigned char>(query[i]) + 1 : 0;
    const std::size_t next = static_cast<std::size_t>(units[node].base) + code;
    found = units[node].base > 0 && units[next].check == static_cast<unsigned>(units[node].base);
    node = next;
  }
  if (found) std::printf("%s\t%d\n", query, -units[node].base - 1);
  return trie.save("fruit.idx") == 0 ? 0 : 1;
}
