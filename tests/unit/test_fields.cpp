// Conversion into credential fields and the line reader: the limits that keep
// a value from being cut, overflowed or read without bound.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#include "frontend/credentials.h"

namespace {

std::u16string convert(const char *text, int capacity, int *result)
{
    WCHAR units[2 * kFieldUnits + 8] = {};
    *result = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, units, capacity);
    return std::u16string(units);
}

// Makes standard input read the given bytes.
void setInput(const std::string &bytes)
{
    FILE *file = fopen("unit-stdin", "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    ASSERT_NE(freopen("unit-stdin", "rb", stdin), nullptr);
}

TEST(Conversion, DecodesTheLocaleEncodingIntoUtf16)
{
    int result;
    EXPECT_EQ(convert("J\xC3\xB6rg", kFieldUnits, &result), u"J\u00F6rg");
    EXPECT_EQ(result, 5);  // units written, the terminator included
    EXPECT_EQ(convert("\xF0\x9F\x98\x80", kFieldUnits, &result), u"\U0001F600");
    EXPECT_EQ(result, 3);
    EXPECT_EQ(convert("", kFieldUnits, &result), u"");
    EXPECT_EQ(result, 1);
}

TEST(Conversion, RefusesTextTheEncodingDoesNotAllowAnywhere)
{
    // A stray byte, a sequence cut short at the end, an encoded surrogate.
    for (const char *text : {"a\xFFz", "ab\xC3", "\xED\xA0\x80"}) {
        int result;
        convert(text, kFieldUnits, &result);
        EXPECT_EQ(result, 0) << text;
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, NULL, 0), 0);
    }
    // Counting needs no room and says what converting would need.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "J\xC3\xB6\xF0\x9F\x98\x80", -1, NULL, 0), 5);
}

TEST(Conversion, RefusesWhatDoesNotFitWholly)
{
    int result;
    std::string fits(kFieldUnits - 1, 'a');
    convert(fits.c_str(), kFieldUnits, &result);
    EXPECT_EQ(result, kFieldUnits);
    convert((fits + "a").c_str(), kFieldUnits, &result);
    EXPECT_EQ(result, 0);
    // A pair of surrogates is never split at the limit.
    convert((std::string(kFieldUnits - 2, 'a') + "\xF0\x9F\x98\x80").c_str(), kFieldUnits,
            &result);
    EXPECT_EQ(result, 0);
}

TEST(CredentialField, WritesNothingOfARefusedValue)
{
    WCHAR field[kFieldUnits] = {};
    std::string tooLong(kFieldUnits, 's');
    EXPECT_EQ(ToCredentialField(tooLong.c_str(), field), kLineTooLong);
    // Invalid text beyond the limit is still told as invalid.
    EXPECT_EQ(ToCredentialField((tooLong + "\xFF").c_str(), field), kLineInvalid);
    for (WCHAR unit : field)
        ASSERT_EQ(unit, 0);
    EXPECT_EQ(ToCredentialField("short", field), kLineRead);
    EXPECT_EQ(std::u16string(field), u"short");
}

TEST(LineReader, HoldsALineThatFillsTheBufferExactly)
{
    char line[8];
    setInput("1234567\nnext");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineRead);
    EXPECT_STREQ(line, "1234567");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineRead);
    EXPECT_STREQ(line, "next");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kNoLine);
}

TEST(LineReader, RefusesALongerLineWithoutReadingOn)
{
    char line[8];
    setInput("12345678and much more\n");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineTooLong);
    EXPECT_EQ(ftell(stdin), 8);
}

TEST(LineReader, FoldsCarriageReturnLineFeedOnly)
{
    char line[16];
    setInput("a\rb\r\n\r\r\n\r");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineRead);
    EXPECT_STREQ(line, "a\rb");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineRead);
    EXPECT_STREQ(line, "\r");
    EXPECT_EQ(ReadConsoleLine(line, sizeof line), kLineRead);
    EXPECT_STREQ(line, "\r");
}

}  // namespace
