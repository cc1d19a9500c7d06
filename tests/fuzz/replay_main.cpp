// Runs a fuzz target without libFuzzer: the seed inputs given on the command
// line (files), then a fixed number of deterministic pseudo-random inputs,
// some of them mutations of the seeds. Any fault shows as a crash or a
// sanitizer report, and the test fails.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz_driver.h"

int main(int argc, char **argv) {
    std::vector<std::vector<uint8_t>> seeds;
    int runs = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--runs=", 0) == 0) {
            runs = std::stoi(arg.substr(7));
            continue;
        }
        std::ifstream in(arg, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read seed %s\n", arg.c_str());
            return 2;
        }
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const auto &seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());
    std::mt19937_64 random(20261209);
    for (int run = 0; run < runs; ++run) {
        std::vector<uint8_t> input;
        if (!seeds.empty() && random() % 2) {
            input = seeds[random() % seeds.size()];
            size_t edits = 1 + random() % 8;
            for (size_t e = 0; e < edits && !input.empty(); ++e) input[random() % input.size()] = static_cast<uint8_t>(random());
            if (random() % 4 == 0) input.resize(random() % (input.size() + 1));
        } else {
            input.resize(random() % 600);
            for (auto &b : input) b = static_cast<uint8_t>(random() % 4 ? 0x20 + random() % 0x60 : random());
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("%zu seeds and %d generated inputs ran\n", seeds.size(), runs);
    return 0;
}
