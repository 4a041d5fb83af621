#pragma once
// One OpenSSL digest through the EVP interface: the baseline the benchmarks
// measure ours against (OpenSSL is linked into the benchmarks only).

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

namespace zorvane::bench {

class EvpDigest {
public:
    explicit EvpDigest(const EVP_MD* md) : md_(md), context_(EVP_MD_CTX_new()) {}
    ~EvpDigest() { EVP_MD_CTX_free(context_); }
    EvpDigest(const EvpDigest&) = delete;
    EvpDigest& operator=(const EvpDigest&) = delete;

    void begin() { EVP_DigestInit_ex(context_, md_, nullptr); }
    void update(const std::uint8_t* data, std::size_t count) { EVP_DigestUpdate(context_, data, count); }
    void end()
    {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(context_, out, &size);
        benchmark::DoNotOptimize(out);
    }

private:
    const EVP_MD* md_;
    EVP_MD_CTX* context_;
};

}  // namespace zorvane::bench
