#include <iostream>
#include <string>
#include <vector>

#include "cli/ovpatch.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return ovpatch::Run(args, std::cout, std::cerr);
}
