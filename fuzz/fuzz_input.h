#pragma once
// The shared pieces of the fuzz targets: a reader that takes typed values
// from the front of libFuzzer's byte array, and the check that stops a run
// on a broken property so that libFuzzer (or the corpus replay) reports it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zorvane::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // The next byte, or 0 once the input is used up.
    std::uint8_t takeByte()
    {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }

    // Everything not taken yet, as bytes.
    std::string_view rest() const { return {reinterpret_cast<const char*>(data_), size_}; }

    // Everything not taken yet, as UTF-16 code units in little-endian byte
    // order; an odd last byte is dropped.
    std::u16string restAsUtf16() const
    {
        std::u16string text;
        text.reserve(size_ / 2);
        for (std::size_t i = 0; i + 1 < size_; i += 2)
            text.push_back(static_cast<char16_t>(data_[i] | data_[i + 1] << 8));
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Aborts with the broken property named, which libFuzzer records as a crash.
inline void require(bool holds, const char* property)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz property broken: %s\n", property);
    std::abort();
}

}  // namespace zorvane::fuzz
