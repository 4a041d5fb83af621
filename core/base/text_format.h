#pragma once
// A type-safe stand-in for wide printf formatting, for the diagnostic and
// error texts whose formats are fixed by the program.
//
// Supported directives: %% and %[flags][width][.precision][length]conv with
// flags "-0+ #", length modifiers h l ll L I64 z and conversions
// s S d i u x X c f. Each directive takes the next argument; a string
// argument for a numeric directive (or the reverse) is printed in its own
// natural form, a missing argument prints nothing. Nothing here reads past
// its arguments, whatever the format says.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace zorvane {

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Double, Text };

    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    FormatArg(T v) : kind_(Kind::Signed), signed_(v) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T>, int> = 0>
    FormatArg(T v) : kind_(Kind::Unsigned), unsigned_(v) {}
    FormatArg(double v) : kind_(Kind::Double), double_(v) {}
    FormatArg(std::u16string_view v) : kind_(Kind::Text), text_(v) {}
    FormatArg(const std::u16string& v) : kind_(Kind::Text), text_(v) {}
    FormatArg(const char16_t* v) : kind_(Kind::Text), text_(v ? v : u"") {}

    Kind kind() const { return kind_; }
    std::int64_t asSigned() const;
    std::uint64_t asUnsigned() const;
    double asDouble() const;
    std::u16string_view asText() const { return text_; }

private:
    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    double double_ = 0;
    std::u16string_view text_;
};

std::u16string formatText(std::u16string_view format, std::initializer_list<FormatArg> args);

}  // namespace zorvane
