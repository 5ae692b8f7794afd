#include <iostream>

#include "cli/dispatch.hpp"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    return zdz::cli::run_main(argc, argv, std::cout, std::cerr);
}
