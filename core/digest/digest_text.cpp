#include "core/digest/digest_text.h"

#include <array>

#include "core/digest/md5.h"

namespace zorvane {

namespace {

// Feeds UTF-16LE bytes through a small buffer, so that no copy of the joined text is made.
class Utf16LeMd5 {
public:
    void add(std::u16string_view text)
    {
        for (const char16_t unit : text) {
            if (used_ == buffer_.size())
                flush();
            buffer_[used_++] = static_cast<std::uint8_t>(unit & 0xff);
            buffer_[used_++] = static_cast<std::uint8_t>(unit >> 8);
        }
    }

    std::u16string hex()
    {
        flush();
        const digest::Md5Engine::Digest d = md5_.finish();
        return toHexText(d.data(), d.size());
    }

private:
    void flush()
    {
        md5_.update(buffer_.data(), used_);
        used_ = 0;
    }

    digest::Md5 md5_;
    std::array<std::uint8_t, 512> buffer_;
    std::size_t used_ = 0;
};

template <class Texts>
std::u16string md5OfAll(const Texts& texts)
{
    Utf16LeMd5 md5;
    for (const auto& text : texts)
        md5.add(text);
    return md5.hex();
}

}  // namespace

std::u16string toHexText(const std::uint8_t* data, std::size_t count)
{
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string text(2 * count, u'0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0f];
    }
    return text;
}

std::u16string md5OfTexts(std::initializer_list<std::u16string_view> texts)
{
    return md5OfAll(texts);
}

std::u16string md5OfTexts(const std::vector<std::u16string>& texts)
{
    return md5OfAll(texts);
}

}  // namespace zorvane
