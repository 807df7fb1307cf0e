// Test helper: looks keys up in an index file by the format's rule and prints one value per
// key (-1 when absent), written apart from the library so that each checks the other.
// Usage: index-lookup INDEX KEY...
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  const std::size_t count = bytes.size() / 8;
  auto base = [&](std::size_t p) {
    std::int32_t v;
    std::memcpy(&v, &bytes[8 * p], 4);
    return v;
  };
  auto check = [&](std::size_t p) {
    std::uint32_t v;
    std::memcpy(&v, &bytes[8 * p + 4], 4);
    return v;
  };
  for (int k = 2; k < argc; ++k) {
    long long value = -1;
    std::size_t node = 0;
    const std::size_t length = std::strlen(argv[k]);
    for (std::size_t i = 0; count > 0 && i <= length; ++i) {
      const std::size_t code = i == length ? 0 : static_cast<unsigned char>(argv[k][i]) + 1u;
      const std::int32_t b = base(node);
      const std::size_t next = static_cast<std::size_t>(b) + code;
      if (b <= 0 || next >= count || check(next) != static_cast<std::uint32_t>(b)) break;
      node = next;
      if (i == length && base(node) < 0) value = -static_cast<long long>(base(node)) - 1;
    }
    std::printf("%lld\n", value);
  }
  return 0;
}
