// Replays a fuzz target's saved inputs without libFuzzer, so that the normal
// build (any compiler) runs every seed and every input a fuzzing run kept
// through the target's properties as an ordinary test.
//
//   <target>_replay DIR_OR_FILE...

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // An empty input still gets a valid, non-null pointer, as under libFuzzer.
    static const std::uint8_t kEmpty = 0;
    const auto* data =
        bytes.empty() ? &kEmpty : reinterpret_cast<const std::uint8_t*>(bytes.data());
    LLVMFuzzerTestOneInput(data, bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path root(argv[i]);
        if (!std::filesystem::is_directory(root)) {
            failures += replay_file(root);
            ++replayed;
            continue;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) {
                failures += replay_file(entry.path());
                ++replayed;
            }
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return failures == 0 && replayed > 0 ? 0 : 1;
}
