// Base64 throughput on 16 MiB against OpenSSL's EVP_EncodeBlock and
// EVP_DecodeBlock on the same data in the same run. Prints the median of
// several runs in MB/s and the speed ratio (ours / OpenSSL, above 1 is faster).
#include "../common/serialize/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

using zem::vfs::Base64;
using zem::vfs::uint64;

namespace {

const std::size_t kBytes = 16u << 20;
const int kRuns = 9;

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double mbps(double secs) {
    return kBytes / secs / 1e6;
}

} // namespace

int main() {
    std::vector<unsigned char> plain(kBytes);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (unsigned char &b : plain) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        b = static_cast<unsigned char>(state >> 24);
    }
    uint64 const text_size = Base64::encode(plain.data(), plain.size(), nullptr, 0);
    std::vector<char> ours(static_cast<std::size_t>(text_size));
    std::vector<unsigned char> theirs(static_cast<std::size_t>(text_size) + 1);
    std::vector<unsigned char> back(kBytes + 3);

    std::vector<double> enc_ours, enc_ssl, dec_ours, dec_ssl;
    for (int run = 0; run < kRuns; ++run) {
        auto t = std::chrono::steady_clock::now();
        uint64 n = Base64::encode(plain.data(), plain.size(), ours.data(), ours.size());
        enc_ours.push_back(seconds(t));

        t = std::chrono::steady_clock::now();
        int m = EVP_EncodeBlock(theirs.data(), plain.data(), static_cast<int>(plain.size()));
        enc_ssl.push_back(seconds(t));
        if (n != text_size || static_cast<uint64>(m) != text_size ||
            std::memcmp(ours.data(), theirs.data(), ours.size()) != 0) {
            std::printf("encode mismatch\n");
            return 1;
        }

        t = std::chrono::steady_clock::now();
        n = Base64::decode(ours.data(), ours.size(), back.data(), back.size());
        dec_ours.push_back(seconds(t));
        if (n != kBytes || std::memcmp(back.data(), plain.data(), kBytes) != 0) {
            std::printf("decode mismatch\n");
            return 1;
        }

        t = std::chrono::steady_clock::now();
        m = EVP_DecodeBlock(back.data(), theirs.data(), static_cast<int>(text_size));
        dec_ssl.push_back(seconds(t));
        if (m < static_cast<int>(kBytes)) {
            std::printf("OpenSSL decode failed\n");
            return 1;
        }
    }

    double eo = mbps(median(enc_ours)), es = mbps(median(enc_ssl));
    double d_o = mbps(median(dec_ours)), ds = mbps(median(dec_ssl));
    std::printf("base64 16 MiB, median of %d runs (MB/s of binary data)\n", kRuns);
    std::printf("encode  zem %8.1f  openssl %8.1f  ratio %.2f\n", eo, es, eo / es);
    std::printf("decode  zem %8.1f  openssl %8.1f  ratio %.2f\n", d_o, ds, d_o / ds);
    return 0;
}
