// Prints the streaming SHA-256 of each file named on the command line, the
// same way `sign` measures an image, so it can be timed against openssl.
#include <iostream>

#include "io/measure.hpp"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const auto hash = zdz::io::measure_sha256_file(argv[i]);
        if (!hash) {
            std::cerr << argv[i] << ": " << hash.error().display() << '\n';
            return 1;
        }
        std::cout << hash->hash.to_string() << "  " << argv[i] << '\n';
    }
    return 0;
}
