#include "link/sentence.h"

std::string Sentence(std::string_view format, std::initializer_list<std::string_view> values)
{
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const bool placeholder = format[i] == '%' && i + 1 < format.size() &&
                                 (format[i + 1] == 'd' || format[i + 1] == 's' || format[i + 1] == 'X');
        if (placeholder && value != values.end()) {
            out += *value++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

std::string Hex(unsigned long long value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return text;
}
