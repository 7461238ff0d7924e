// What signed releases cost: SHA-256 of 200 MiB fed in the download worker's 4096-byte blocks,
// and one P-256 signature check, with the cryptography of this build (BCrypt under Windows or
// Wine, OpenSSL natively). Prints the median of several rounds; a program to run by hand.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "trust/crypto.h"
#include "trust/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <size_t N>
std::array<uint8_t, N> FromHex(const char* hex) {
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i) std::sscanf(hex + 2 * i, "%2hhx", &out[i]);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarn::trust;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Crypto& crypto = SystemCrypto();

    constexpr size_t kBlock = 4096;
    constexpr size_t kTotal = size_t(200) << 20;
    std::vector<uint8_t> block(kBlock);
    for (size_t i = 0; i < kBlock; ++i) block[i] = static_cast<uint8_t>(i * 131 + 7);
    std::vector<double> hashMs;
    Digest digest{};
    for (int r = 0; r < rounds; ++r) {
        const Clock::time_point t0 = Clock::now();
        Sha256Stream stream(crypto);
        for (size_t done = 0; done < kTotal; done += kBlock) stream.Update(block.data(), kBlock);
        if (!stream.Finish(&digest)) {
            std::fprintf(stderr, "SHA-256 is not available\n");
            return 1;
        }
        hashMs.push_back(Ms(t0, Clock::now()));
    }

    // The openssl CLI's signature of SHA-256("hello signed world"), as in the unit tests.
    const PublicKey key = FromHex<64>(
        "84d12b2b9bcf38278bd40d3f4b4983ae4954f691cffd3f2759e093c8de45cbbf"
        "9f9cb6cacb9ea07dca88a2aa4c3fb05c1e3b99b59d77b07eb89ecd2d7afef2e1");
    const Signature signature = FromHex<64>(
        "ac256025d3a12e496a490e8565cb44226676d1d675a3594d59c74b064bb284bb"
        "8d7b6933e0a052e0e049734a2593952080d0c495909a53040aef89879fbde1be");
    const char message[] = "hello signed world";
    Sha256(crypto, message, std::strlen(message), &digest);
    std::vector<double> verifyMs;
    bool good = true;
    constexpr int kChecks = 50;
    for (int r = 0; r < rounds; ++r) {
        const Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kChecks; ++i) good = crypto.VerifyP256(key, digest, signature) && good;
        verifyMs.push_back(Ms(t0, Clock::now()) / kChecks);
    }
    if (!good) {
        std::fprintf(stderr, "the known signature did not verify\n");
        return 1;
    }
#ifdef _WIN32
    const char* provider = "BCrypt";
#else
    const char* provider = "OpenSSL";
#endif
    std::printf("crypto: %s, %d-bit build, median of %d rounds\n", provider, int(sizeof(void*) * 8), rounds);
    std::printf("sha256 of 200 MiB in 4096-byte blocks: %.0f ms (%.0f MiB/s)\n", Median(hashMs),
                200.0 / (Median(hashMs) / 1000.0));
    std::printf("one P-256 signature check: %.3f ms\n", Median(verifyMs));
    return 0;
}
