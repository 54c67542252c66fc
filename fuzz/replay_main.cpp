// Replays fuzz inputs without libFuzzer: every file named on the command line,
// or found in a folder named there, is fed once to LLVMFuzzerTestOneInput.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    int count = 0;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(""), 0);
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file())
                    count += run_file(e.path());
        } else if (std::filesystem::exists(p)) {
            count += run_file(p);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
