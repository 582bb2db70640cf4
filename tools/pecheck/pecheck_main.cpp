// Command-line entry of pecheck; all logic lives in pecheck.cpp so that
// pecheck_selftest can drive the same code on images it builds in memory.
#include "pecheck.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return pecheck::run(args, std::cout, std::cerr);
}
