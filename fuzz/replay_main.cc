// Runs a fuzz target on given inputs, for builds without libFuzzer: each argument is an input
// file or a folder of them, libFuzzer's flags ignored, so the corpus tests run in every build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> paths;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;
    if (!std::filesystem::is_directory(argv[i])) {
      paths.emplace_back(argv[i]);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      if (entry.is_regular_file()) paths.push_back(entry.path());
    }
  }
  for (const auto& path : paths) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%zu inputs run\n", paths.size());
  return paths.empty() ? 1 : 0;
}
