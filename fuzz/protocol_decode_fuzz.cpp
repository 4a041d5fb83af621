// The decoding side of the wire format over arbitrary bytes. The first
// input byte picks the stage and the output cap; the rest is the stage's
// input:
//   0  a whole submit body: parseBody, then every value through decodeField
//      (compressed or not), split into lines and columns, and
//      undoubleBackslashes;
//   1  base64UrlDecode, which must be the exact inverse of the encoder;
//   2  inflateZlib, bounded, and a round trip of what it gives;
//   3  parseBody, which must agree with buildBody.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "protocol/base64url.h"
#include "protocol/field_text.h"
#include "protocol/form_fields.h"
#include "protocol/zlib_codec.h"

using namespace zorvane;
using zorvane::fuzz::require;

namespace {

// Small enough that the fuzzer meets the cap, large enough for real fields.
std::size_t capFrom(std::uint8_t selector) { return std::size_t{1} << (4 + (selector >> 2) % 16); }

void decodeText(const std::string& text)
{
    const auto lines = protocol::splitText(text, '\n');
    std::string joined;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        if (l != 0)
            joined.push_back('\n');
        const auto columns = protocol::splitText(lines[l], '\t');
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c != 0)
                joined.push_back('\t');
            joined.append(columns[c]);
            if (auto value = protocol::undoubleBackslashes(columns[c]))
                require(value->size() <= columns[c].size(), "undoubling never lengthens a value");
        }
    }
    require(joined == text, "the lines and columns join back to the text");
}

void decodeBody(std::string_view body, std::size_t cap)
{
    auto fields = protocol::parseBody(body);
    if (!fields)
        return;
    for (const auto& [name, value] : *fields) {
        for (bool compressed : {true, false}) {
            auto text = protocol::decodeField(value, compressed, cap);
            if (!text)
                continue;
            require(text->size() <= cap, "a decoded field keeps to its cap");
            decodeText(*text);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const std::uint8_t selector = input.takeByte();
    const std::size_t cap = capFrom(selector);
    const std::string_view bytes = input.rest();

    switch (selector % 4) {
    case 0:
        decodeBody(bytes, cap);
        break;
    case 1:
        if (auto decoded = protocol::base64UrlDecode(bytes))
            require(protocol::base64UrlEncode(*decoded) == bytes, "base64url decoding is strict");
        require(protocol::base64UrlDecode(protocol::base64UrlEncode(bytes)) == std::string(bytes),
                "base64url round-trips any bytes");
        break;
    case 2:
        if (auto inflated = protocol::inflateZlib(bytes, cap)) {
            require(inflated->size() <= cap, "inflation keeps to its cap");
            auto stream = protocol::compressLevel9(*inflated);
            require(stream.has_value(), "what inflates also compresses");
            require(protocol::inflateZlib(*stream, cap) == inflated, "zlib round-trips what it inflated");
        }
        break;
    case 3:
        if (auto fields = protocol::parseBody(bytes)) {
            require(protocol::parseBody(protocol::buildBody(*fields)) == fields,
                    "a parsed body builds back to the same fields");
            if (fields->size() <= 1)
                require(protocol::buildBody(*fields) == bytes, "a body of one field builds back as it stands");
        }
        break;
    }
    return 0;
}
