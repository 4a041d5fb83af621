// The service's decoders over arbitrary bodies: decodeInitialise, and
// submittedScanId with decodeSubmit against an initialised scan of two
// records (a known file 17, an unknown file 18) named "scan42". The first
// input byte picks the decoder; the rest is the body. Limits are small so
// that the fuzzer meets them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz/fuzz_input.h"
#include "service/decoding.h"

using namespace zorvane;
using zorvane::fuzz::require;

namespace {

template <typename T>
void requireClientError(const service::Decoded<T>& decoded)
{
    if (const auto* rejection = std::get_if<service::Rejection>(&decoded))
        require(rejection->status >= 400 && rejection->status < 500, "a rejected body is a client error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const bool submit = (input.takeByte() & 1) != 0;
    const std::string_view body = input.rest();

    service::Limits limits;
    limits.maxBodyBytes = 1u << 16;
    limits.maxInflatedBytes = 1u << 20;
    limits.maxRecords = 64;

    if (!submit) {
        requireClientError(service::decodeInitialise(body, limits));
        return 0;
    }
    requireClientError(service::submittedScanId(body));
    service::InitialisedScan scan;
    scan.header.scanId = "scan42";
    scan.slots.push_back({17, false, "0123456789abcdef0123456789abcdef"});
    scan.slots.push_back({18, true, ""});
    requireClientError(service::decodeSubmit(body, scan, limits));
    return 0;
}
