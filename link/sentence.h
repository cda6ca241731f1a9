#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// The system's sentences are printf-style formats ("Cannot Reset the Phone,
// Since %s"). Fills each %d, %s or %X of `format`, in turn, with the next of
// `values`, already written out; other text, and placeholders left over,
// stay as they are.
std::string Sentence(std::string_view format, std::initializer_list<std::string_view> values);

// `value` in upper-case hexadecimal without leading zeros, as %X writes it.
std::string Hex(unsigned long long value);
