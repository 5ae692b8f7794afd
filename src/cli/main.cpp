#include <sodium.h>

#include <iostream>

#include "cli/dispatch.hpp"
#include "cli/standard_output.hpp"

int main(int argc, char** argv) {
    // First: before libsodium or a command opens anything that could take
    // the place of a closed standard descriptor.
    const auto streams = zdz::cli::prepare_standard_streams();
    std::ios::sync_with_stdio(false);
    if (sodium_init() < 0) {
        std::cerr << "error: the cryptography library could not be initialised\n";
        return 1;
    }
    return zdz::cli::run_main(argc, argv, streams);
}
