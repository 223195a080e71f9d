// Runs a fuzz target over files instead of fuzzing: every file named, and every file in each
// folder named, goes through LLVMFuzzerTestOneInput once, in name order. A target that
// finds a fault aborts, so the replay fails. Built with the ordinary compiler: CI replays the
// seed corpora without clang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Defined by the targets that set something up once; libFuzzer calls it the same way.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path named(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(named, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(named))
        if (entry.is_regular_file()) files.push_back(std::filesystem::absolute(entry.path()));
    } else if (std::filesystem::is_regular_file(named, error)) {
      files.push_back(std::filesystem::absolute(named));
    } else {
      std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 2;
  }
  // Named before a target's set-up, which may change the working folder.
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const std::filesystem::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.eof() && in.fail()) {
      std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
      return 2;
    }
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", files.size());
  return 0;
}
