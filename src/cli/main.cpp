#include <iostream>

#include "cli/program.hpp"
#include "cli/standard_output.hpp"
#include "crypto/sodium.hpp"

int main(int argc, char** argv) {
    // First: before libsodium or a command opens anything that could take
    // the place of a closed standard descriptor.
    const auto streams = zdz::cli::prepare_standard_streams();
    std::ios::sync_with_stdio(false);
    if (const auto started = zdz::crypto::start_sodium(); !started) {
        std::cerr << "error: " << started.error().display() << "\n";
        return 1;
    }
    return zdz::cli::run_main(argc, argv, streams);
}
