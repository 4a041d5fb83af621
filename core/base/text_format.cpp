#include "core/base/text_format.h"

#include <cstdio>
#include <string>
#include <vector>

#include "core/base/conversions.h"

namespace zorvane {

std::int64_t FormatArg::asSigned() const
{
    switch (kind_) {
    case Kind::Signed: return signed_;
    case Kind::Unsigned: return static_cast<std::int64_t>(unsigned_);
    case Kind::Double: return static_cast<std::int64_t>(double_);
    case Kind::Text: return 0;
    }
    return 0;
}

std::uint64_t FormatArg::asUnsigned() const
{
    switch (kind_) {
    case Kind::Signed: return static_cast<std::uint64_t>(signed_);
    case Kind::Unsigned: return unsigned_;
    case Kind::Double: return static_cast<std::uint64_t>(double_);
    case Kind::Text: return 0;
    }
    return 0;
}

double FormatArg::asDouble() const
{
    switch (kind_) {
    case Kind::Signed: return static_cast<double>(signed_);
    case Kind::Unsigned: return static_cast<double>(unsigned_);
    case Kind::Double: return double_;
    case Kind::Text: return 0;
    }
    return 0;
}

namespace {

struct Directive {
    bool leftAlign = false;
    bool zeroPad = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    char conversion = 0;
};

void pad(std::u16string& out, std::u16string body, const Directive& directive, bool numeric)
{
    const std::size_t width = static_cast<std::size_t>(directive.width);
    if (body.size() >= width) {
        out += body;
        return;
    }
    const std::size_t fill = width - body.size();
    if (directive.leftAlign) {
        out += body;
        out.append(fill, u' ');
    } else if (directive.zeroPad && numeric) {
        std::size_t signLength = (!body.empty() && (body[0] == u'-' || body[0] == u'+' || body[0] == u' ')) ? 1 : 0;
        out.append(body, 0, signLength);
        out.append(fill, u'0');
        out.append(body, signLength);
    } else {
        out.append(fill, u' ');
        out += body;
    }
}

std::u16string digitsOf(std::uint64_t v, unsigned base, bool upper)
{
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(set[v % base]));
        v /= base;
    } while (v != 0);
    return s;
}

std::u16string render(const Directive& directive, const FormatArg* arg)
{
    if (arg == nullptr)
        return {};
    const char c = directive.conversion;
    if (c == 's' || c == 'S' || arg->kind() == FormatArg::Kind::Text) {
        if (arg->kind() == FormatArg::Kind::Text) {
            std::u16string_view t = arg->asText();
            if (directive.precision >= 0 && t.size() > static_cast<std::size_t>(directive.precision))
                t = t.substr(0, static_cast<std::size_t>(directive.precision));
            return std::u16string(t);
        }
        if (arg->kind() == FormatArg::Kind::Signed)
            return formatInt64(arg->asSigned());
        return digitsOf(arg->asUnsigned(), 10, false);
    }
    if (c == 'c')
        return std::u16string(1, static_cast<char16_t>(arg->asUnsigned() & 0xFFFF));
    if (c == 'f') {
        char buffer[512];
        const int precision = directive.precision < 0 ? 6 : (directive.precision > 60 ? 60 : directive.precision);
        std::snprintf(buffer, sizeof buffer, "%.*f", precision, arg->asDouble());
        std::u16string s = widenLatin1(buffer);
        if (directive.plus && !s.empty() && s[0] != u'-')
            s.insert(s.begin(), u'+');
        return s;
    }
    std::u16string s;
    bool negative = false;
    if (c == 'd' || c == 'i') {
        const std::int64_t v = arg->asSigned();
        negative = v < 0;
        s = digitsOf(negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), 10, false);
    } else if (c == 'u') {
        s = digitsOf(arg->asUnsigned(), 10, false);
    } else {  // x or X
        s = digitsOf(arg->asUnsigned(), 16, c == 'X');
        if (directive.alternate && s != u"0")
            s.insert(0, c == 'X' ? u"0X" : u"0x");
    }
    if (directive.precision >= 0 && s.size() < static_cast<std::size_t>(directive.precision))
        s.insert(0, static_cast<std::size_t>(directive.precision) - s.size(), u'0');
    if (negative)
        s.insert(s.begin(), u'-');
    else if (directive.plus && (c == 'd' || c == 'i'))
        s.insert(s.begin(), u'+');
    else if (directive.space && (c == 'd' || c == 'i'))
        s.insert(s.begin(), u' ');
    return s;
}

}  // namespace

std::u16string formatText(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    std::u16string out;
    const FormatArg* next = args.begin();
    const FormatArg* last = args.end();
    std::size_t i = 0;
    const std::size_t n = format.size();
    constexpr int kMaxWidth = 4096;
    while (i < n) {
        const char16_t ch = format[i];
        if (ch != u'%') {
            out.push_back(ch);
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i < n && format[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        Directive directive;
        for (; i < n; ++i) {
            const char16_t f = format[i];
            if (f == u'-') directive.leftAlign = true;
            else if (f == u'0') directive.zeroPad = true;
            else if (f == u'+') directive.plus = true;
            else if (f == u' ') directive.space = true;
            else if (f == u'#') directive.alternate = true;
            else break;
        }
        for (; i < n && format[i] >= u'0' && format[i] <= u'9'; ++i)
            directive.width = directive.width < kMaxWidth ? directive.width * 10 + (format[i] - u'0') : kMaxWidth;
        if (i < n && format[i] == u'.') {
            ++i;
            directive.precision = 0;
            for (; i < n && format[i] >= u'0' && format[i] <= u'9'; ++i)
                directive.precision = directive.precision < kMaxWidth ? directive.precision * 10 + (format[i] - u'0') : kMaxWidth;
        }
        if (i + 2 < n && format[i] == u'I' && format[i + 1] == u'6' && format[i + 2] == u'4')
            i += 3;
        while (i < n && (format[i] == u'h' || format[i] == u'l' || format[i] == u'L' || format[i] == u'z' ||
                         format[i] == u'j' || format[i] == u't' || format[i] == u'q'))
            ++i;
        if (i >= n) {
            out.append(format.substr(start));
            break;
        }
        const char16_t conv = format[i++];
        switch (conv) {
        case u's': case u'S': case u'd': case u'i': case u'u': case u'x': case u'X': case u'c': case u'f':
            directive.conversion = static_cast<char>(conv);
            break;
        default:
            // Not a directive this formatter knows: keep it as written.
            out.append(format.substr(start, i - start));
            continue;
        }
        const FormatArg* arg = next != last ? next++ : nullptr;
        pad(out, render(directive, arg), directive, directive.conversion != 's' && directive.conversion != 'S' && directive.conversion != 'c');
    }
    return out;
}

}  // namespace zorvane
