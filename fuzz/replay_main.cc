// Replays a fuzz target's corpus in the normal build, where libFuzzer is not available: every
// file of each folder named on the command line goes through LLVMFuzzerTestOneInput once, so
// an input that once crashed or hung the target keeps being checked by CTest.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
    return 2;
  }
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (error) {
      std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
      return 2;
    }
    // A fixed order, so that a failure reproduces the same way on every machine.
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
      // Printed first, so that a crash names the input that caused it.
      std::fprintf(stderr, "replaying %s\n", file.c_str());
      // A heap copy of exactly the input's size, so that AddressSanitizer sees any read past
      // it; never a null pointer, as libFuzzer passes none either.
      const auto input = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1));
      std::copy(bytes.begin(), bytes.end(), input.get());
      LLVMFuzzerTestOneInput(input.get(), bytes.size());
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "no input found\n");
    return 1;
  }
  std::printf("%zu inputs replayed\n", replayed);
  return 0;
}
