#include "protocol/zlib_codec.h"

#include <zlib.h>

#include <limits>
#include <new>

namespace zorvane::protocol {

std::optional<std::string> compressLevel9(std::string_view bytes)
{
    const std::size_t n = bytes.size();
    if (n > (std::numeric_limits<uLong>::max() - 12) / 2)
        return std::nullopt;
    std::string out;
    try {
        out.resize(n + n / 1000 + 12);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    uLongf outLength = static_cast<uLongf>(out.size());
    const int result = compress2(reinterpret_cast<Bytef*>(out.data()), &outLength,
                                 reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(n),
                                 Z_BEST_COMPRESSION);
    if (result != Z_OK)
        return std::nullopt;
    out.resize(outLength);
    return out;
}

std::optional<std::string> inflateZlib(std::string_view stream, std::size_t maxOutput)
{
    if (stream.size() > std::numeric_limits<uInt>::max())
        return std::nullopt;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return std::nullopt;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    std::string out;
    char chunk[16384];
    int result = Z_OK;
    bool failed = false;
    try {
        // Z_BUF_ERROR (input used up before the stream ended) and every
        // error end the loop as well as Z_STREAM_END.
        while (result == Z_OK) {
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof chunk;
            result = inflate(&z, Z_NO_FLUSH);
            const std::size_t produced = sizeof chunk - z.avail_out;
            if (produced > maxOutput - out.size()) {
                failed = true;
                break;
            }
            out.append(chunk, produced);
        }
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    inflateEnd(&z);
    if (failed || result != Z_STREAM_END || z.avail_in != 0)
        return std::nullopt;
    return out;
}

}  // namespace zorvane::protocol
