// The locale's multibyte encoding stands in for the ANSI code page.
#include "platform/platform.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// The C locale's encoding is ASCII, which names no byte above 0x7F; such
// bytes are then read and written as UTF-8, the encoding Kerberos names and
// passwords use in practice, rather than all refused.
void UseLocaleEncoding(void)
{
    static bool chosen;
    if (!chosen) {
        setlocale(LC_CTYPE, "");
        if (strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") == 0)
            setlocale(LC_CTYPE, "C.UTF-8");
        chosen = true;
    }
}

// One character, or false when the bytes are not valid text: a sequence the
// encoding does not allow, one cut short, or no Unicode character.
static bool decodeOne(const char *text, size_t available, mbstate_t *state, char32_t *point,
                      size_t *used)
{
    wchar_t character;
    size_t result = mbrtowc(&character, text, available, state);
    if (result == (size_t)-1 || result == (size_t)-2)
        return false;
    *used = result == 0 ? 1 : result;
    *point = (char32_t)character;
    return *point <= 0x10FFFF && (*point < 0xD800 || *point > 0xDFFF);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int textBytes,
                        WCHAR *units, int capacity)
{
    // There is one encoding, the locale's, with no composed forms to prefer,
    // and invalid text is always refused.
    (void)codePage;
    (void)flags;
    UseLocaleEncoding();
    size_t remaining = textBytes < 0 ? strlen(text) + 1 : (size_t)textBytes;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    int written = 0;
    while (remaining > 0) {
        char32_t point;
        size_t used;
        if (!decodeOne(text, remaining, &state, &point, &used))
            return 0;
        int needed = point > 0xFFFF ? 2 : 1;
        if (capacity > 0) {
            if (written + needed > capacity)
                return 0;
            if (needed == 2) {
                units[written] = (WCHAR)(0xD800 + ((point - 0x10000) >> 10));
                units[written + 1] = (WCHAR)(0xDC00 + (point & 0x3FF));
            } else {
                units[written] = (WCHAR)point;
            }
        }
        written += needed;
        text += used;
        remaining -= used;
    }
    return written;
}

int ArgumentToUnits(const ArgumentChar *argument, WCHAR *units, int capacity)
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument, -1, units, capacity);
}

static int utf8Bytes(char32_t point)
{
    return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *units, int unitCount,
                        char *text, int textBytes, const char *defaultChar, int *usedDefault)
{
    (void)codePage;
    (void)flags;
    (void)unitCount;
    (void)defaultChar;
    (void)usedDefault;
    int written = 0;
    for (int i = 0;; i++) {
        char32_t point = units[i];
        if (point >= 0xD800 && point <= 0xDBFF && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        int length = utf8Bytes(point);
        if (written + length > textBytes)
            return 0;
        unsigned char *bytes = (unsigned char *)text + written;
        static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int at = length - 1; at > 0; at--, point >>= 6)
            bytes[at] = (unsigned char)(0x80 | (point & 0x3F));
        bytes[0] = (unsigned char)(kLead[length] | point);
        written += length;
        if (units[i] == 0)
            return written;
    }
}

void ToLocaleEncoding(const char *utf8, char *text, size_t room)
{
    UseLocaleEncoding();
    const char *encoding = nl_langinfo(CODESET);
    size_t length = strlen(utf8);
    if (strcmp(encoding, "UTF-8") == 0) {
        // Cut where a character starts.
        while (length >= room || (length > 0 && ((unsigned char)utf8[length] & 0xC0) == 0x80))
            length--;
        memcpy(text, utf8, length);
        text[length] = '\0';
        return;
    }
    char target[64];
    snprintf(target, sizeof target, "%s//TRANSLIT", encoding);
    iconv_t converter = iconv_open(target, "UTF-8");
    char *in = (char *)utf8, *out = text;
    size_t left = room - 1;
    // What does not fit stops the conversion at a whole character; one that
    // has no likeness at all in the encoding is a question mark.
    while (converter != (iconv_t)-1 && length > 0 &&
           iconv(converter, &in, &length, &out, &left) == (size_t)-1 && errno == EILSEQ &&
           left > 1) {
        *out++ = '?';
        left--;
        do {
            in++;
            length--;
        } while (length > 0 && ((unsigned char)*in & 0xC0) == 0x80);
    }
    if (converter != (iconv_t)-1)
        iconv_close(converter);
    *out = '\0';
}
