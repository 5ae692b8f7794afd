#include <sodium.h>

#include <iostream>

#include "cli/dispatch.hpp"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (sodium_init() < 0) {
        std::cerr << "error: the cryptography library could not be initialised\n";
        return 1;
    }
    return zdz::cli::run_main(argc, argv, std::cout, std::cerr);
}
