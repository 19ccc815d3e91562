#pragma once
// Integer text rule shared by the settings file, the setup window and the archive.

#include <cstdint>
#include <string_view>

/// Converts `text` to a signed 32-bit integer by the integer text rule:
///  - leading blanks (spaces) are skipped;
///  - then either an optional "+" or "-" followed by decimal digits, or a hexadecimal
///    number introduced by "$", "x", "X", "0x" or "0X" (digits 0-9, a-f, A-F);
///  - nothing may follow the digits (no trailing blanks either).
/// Empty text, a prefix or sign without digits, any other character, or a value outside
/// -2147483648 .. 2147483647 is a failure. A sign in front of a hexadecimal prefix is a
/// failure, and hexadecimal values above 0x7FFFFFFF are out of range (they are not
/// wrapped to negative numbers). Leading zeros are allowed in both forms.
/// Returns true and stores the value on success; on failure `value` is left unchanged.
bool ParseIntText(std::string_view text, int32_t &value);
