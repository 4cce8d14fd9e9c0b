// Stand-alone driver for fuzz targets when libFuzzer is not linked in.
//
// Usage: <target> [--runs=N] [--seed=S] [corpus files or folders...]
// Every corpus file is fed once as it is; then N inputs are made by
// mutating corpus entries (bit flips, truncation, splicing, byte runs,
// random bytes) from a fixed seed, so a failing run repeats exactly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

void addFile(const std::filesystem::path& p, std::vector<Bytes>& corpus) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return;
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() > (1u << 20)) b.resize(1u << 20);
    corpus.push_back(std::move(b));
}

Bytes mutate(const std::vector<Bytes>& corpus, std::mt19937_64& rng) {
    Bytes b = corpus.empty() ? Bytes{} : corpus[rng() % corpus.size()];
    const int steps = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < steps; ++i) {
        switch (rng() % 7) {
        case 0: // flip a bit
            if (!b.empty()) b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        case 1: // set a byte to an interesting value
            if (!b.empty()) {
                static const uint8_t v[] = {0, 1, 0x7f, 0x80, 0xff, ':', '\r', '\n', ' ', '0', '9', '|', '<', '>', '='};
                b[rng() % b.size()] = v[rng() % sizeof v];
            }
            break;
        case 2: // truncate
            if (!b.empty()) b.resize(rng() % b.size());
            break;
        case 3: // insert random bytes
        {
            size_t at = b.empty() ? 0 : rng() % (b.size() + 1);
            size_t n = 1 + rng() % 16;
            Bytes r(n);
            for (auto& c : r) c = static_cast<uint8_t>(rng());
            b.insert(b.begin() + static_cast<long>(at), r.begin(), r.end());
            break;
        }
        case 4: // splice with another corpus entry
            if (!corpus.empty()) {
                const Bytes& o = corpus[rng() % corpus.size()];
                size_t cut = b.empty() ? 0 : rng() % b.size();
                size_t from = o.empty() ? 0 : rng() % o.size();
                b.resize(cut);
                b.insert(b.end(), o.begin() + static_cast<long>(from), o.end());
            }
            break;
        case 5: // duplicate a chunk (long lines, repeated headers)
            if (!b.empty()) {
                size_t from = rng() % b.size();
                size_t n = 1 + rng() % std::min<size_t>(b.size() - from, 64);
                Bytes chunk(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
                size_t times = 1 + rng() % 32;
                for (size_t t = 0; t < times && b.size() < (1u << 16); ++t)
                    b.insert(b.begin() + static_cast<long>(from), chunk.begin(), chunk.end());
            }
            break;
        default: // fully random input
        {
            Bytes r(rng() % 512);
            for (auto& c : r) c = static_cast<uint8_t>(rng());
            b = std::move(r);
            break;
        }
        }
    }
    return b;
}

} // namespace

int main(int argc, char** argv) {
    long runs = 10000;
    unsigned long long seed = 0x5eed;
    std::vector<Bytes> corpus;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::atol(argv[i] + 7);
        } else if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            seed = std::strtoull(argv[i] + 7, nullptr, 0);
        } else {
            std::filesystem::path p(argv[i]);
            std::error_code ec;
            if (std::filesystem::is_directory(p, ec)) {
                for (auto& e : std::filesystem::recursive_directory_iterator(p, ec))
                    if (e.is_regular_file()) addFile(e.path(), corpus);
            } else if (std::filesystem::is_regular_file(p, ec)) {
                addFile(p, corpus);
            }
        }
    }
    for (const auto& b : corpus) LLVMFuzzerTestOneInput(b.data(), b.size());
    std::mt19937_64 rng(seed);
    for (long i = 0; i < runs; ++i) {
        Bytes b = mutate(corpus, rng);
        LLVMFuzzerTestOneInput(b.data(), b.size());
    }
    std::printf("fuzz replay: %zu corpus inputs, %ld mutated inputs, no crash\n", corpus.size(), runs);
    return 0;
}
