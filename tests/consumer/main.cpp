// Builds a small index, saves it, opens it again and looks a key up.
#include <cstdio>

#include <tessel/double_array.h>
#include <tessel/index_view.h>

#ifdef REQUIRE_CXX20
static_assert(__cplusplus >= 202002L, "the consumer's own standard, C++20, is kept");
#endif

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const char* keys[] = {"alpha", "beta", "gamma"};
  Tessel::DoubleArray trie;
  if (trie.build(3, keys) != 0 || trie.save(argv[1]) != 0) return 1;
  Tessel::IndexView view;
  std::int32_t value = -1;
  if (view.open(argv[1]) != Tessel::IndexView::kOk || !view.find("gamma", 5, value)) return 1;
  std::printf("gamma\t%d\n", value);
  return value == 2 ? 0 : 1;
}
