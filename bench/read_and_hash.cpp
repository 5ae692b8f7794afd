// The least a program that reads image files can spend on them: each file
// named on the command line read with read(2) into one buffer of 1 MiB and
// hashed with OpenSSL's SHA-256, on as many threads as there are cores, each
// taking the next file; nothing else (no manifest, no trust, no report). It
// prints each file's digest as sha256sum does, in the order given.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;

// The hex digest of the file, or an empty string when it cannot be read.
std::string digest_of(const char* path, std::vector<char>& buffer) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    for (ssize_t n = 0; ok && (n = ::read(fd, buffer.data(), buffer.size())) != 0;) {
        ok = n > 0 && EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(n)) == 1;
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest.data(), &length) == 1;
    EVP_MD_CTX_free(ctx);
    ::close(fd);
    if (!ok) {
        return {};
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", digest[i]);
        hex += pair.data();
    }
    return hex;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<const char*> paths(argv + 1, argv + argc);
    std::vector<std::string> digests(paths.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        std::vector<char> buffer(kBufferBytes);
        for (auto i = next.fetch_add(1); i < paths.size(); i = next.fetch_add(1)) {
            digests[i] = digest_of(paths[i], buffer);
        }
    };
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 1U);
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::min<std::size_t>(cores, paths.size()); ++i) {
        threads.emplace_back(work);
    }
    work();
    for (auto& thread : threads) {
        thread.join();
    }
    int status = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (digests[i].empty()) {
            std::fprintf(stderr, "%s: cannot be read\n", paths[i]);
            status = 1;
        } else {
            std::printf("%s  %s\n", digests[i].c_str(), paths[i]);
        }
    }
    return status;
}
