// The independent header check of the Wine cases (scripts/test-windows.sh):
// opens the first 512 bytes of a container with a password, by ntsim's
// opener (libgcrypt), and names the hash and encryption algorithm that
// opened it.
//
//   pelmar-header-open CONTAINER PASSWORD-HEX
//
// Prints "prf P ea E" and exits 0 when the header opens, prints "closed" and
// exits 1 when it does not, exits 2 on a usage or file error.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ntsim/tcformat/tcformat.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: pelmar-header-open CONTAINER PASSWORD-HEX\n";
        return 2;
    }
    std::array<uint8_t, ntsim::tc::kHeaderSize> header{};
    std::ifstream file(argv[1], std::ios::binary);
    if (!file.read(reinterpret_cast<char *>(header.data()), header.size())) {
        std::cerr << "pelmar-header-open: cannot read 512 bytes of " << argv[1] << "\n";
        return 2;
    }
    std::string hex = argv[2];
    std::vector<uint8_t> password;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) password.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    if (hex.size() % 2 != 0) {
        std::cerr << "pelmar-header-open: odd number of hex digits\n";
        return 2;
    }
    ntsim::tc::InitGcrypt();
    auto opened = ntsim::tc::OpenVolumeHeader(header, password);
    if (!opened) {
        std::cout << "closed\n";
        return 1;
    }
    std::cout << "prf " << opened->prf << " ea " << opened->ea << "\n";
    return 0;
}
