// The one driver of every fuzz target outside the libFuzzer build: runs each
// file of the given folders once through the target, so the committed corpus
// and past findings are checked by every build, compiler and sanitizer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::set<std::filesystem::path> inputs;  // in name order, the same on every machine
  for (int i = 1; i < argc; ++i)
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) inputs.insert(entry);
  for (const auto& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file) return std::fprintf(stderr, "cannot read %s\n", path.c_str()), 1;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Standard error: a target may have taken standard output for itself. No
  // input at all would make a passing run mean nothing.
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return inputs.empty();
}
