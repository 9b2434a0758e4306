// Replays fuzz inputs without libFuzzer: every file named on the command line,
// and every file in every directory named, goes once through
// LLVMFuzzerTestOneInput. A failed check aborts, so the exit status tells.
// An empty or missing corpus is a failure too: the replay must replay something.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace
{

namespace fs = std::filesystem;

bool read_file(const fs::path &path, std::vector<uint8_t> &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto &entry : fs::directory_iterator(argv[i], ec)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
        } else if (fs::is_regular_file(argv[i], ec)) {
            files.emplace_back(argv[i]);
        } else {
            fprintf(stderr, "replay: %s: no such file or directory\n", argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    std::sort(files.begin(), files.end());

    std::vector<uint8_t> data;
    for (const fs::path &f : files) {
        if (!read_file(f, data)) {
            fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            return 1;
        }
        fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), data.size());
        // A copy of exactly the input's size, as libFuzzer hands it over, so
        // that a read past the end shows under the address sanitizer.
        std::vector<uint8_t> exact(data);
        LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    }
    fprintf(stderr, "replay: %zu inputs passed\n", files.size());
    return 0;
}
