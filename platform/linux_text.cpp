// The locale's multibyte encoding stands in for the ANSI code page.
#include "platform/platform.h"

#include <langinfo.h>
#include <locale.h>
#include <string.h>
#include <wchar.h>

static const char32_t kReplacement = 0xFFFD;

// The C locale's encoding is ASCII, which names no byte above 0x7F; such
// bytes are then read as UTF-8, the encoding Kerberos names and passwords
// use in practice, rather than all replaced.
static void useLocaleEncoding(void)
{
    static bool chosen;
    if (!chosen) {
        setlocale(LC_CTYPE, "");
        if (strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") == 0)
            setlocale(LC_CTYPE, "C.UTF-8");
        chosen = true;
    }
}

// Bytes the encoding does not allow become U+FFFD, one for each byte, so a
// value is never dropped or cut short by what it holds.
static char32_t decodeOne(const char *text, size_t available, mbstate_t *state, size_t *used)
{
    wchar_t character;
    size_t result = mbrtowc(&character, text, available, state);
    if (result == (size_t)-1 || result == (size_t)-2) {
        memset(state, 0, sizeof *state);
        *used = 1;
        return kReplacement;
    }
    *used = result == 0 ? 1 : result;
    char32_t point = (char32_t)character;
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return kReplacement;
    return point;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int textBytes,
                        WCHAR *units, int capacity)
{
    // There is one encoding, the locale's, and it has no composed forms to prefer.
    (void)codePage;
    (void)flags;
    useLocaleEncoding();
    size_t remaining = textBytes < 0 ? strlen(text) + 1 : (size_t)textBytes;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    int written = 0;
    while (remaining > 0) {
        size_t used;
        char32_t point = decodeOne(text, remaining, &state, &used);
        int needed = point > 0xFFFF ? 2 : 1;
        if (written + needed > capacity)
            return 0;
        if (needed == 2) {
            point -= 0x10000;
            units[written++] = (WCHAR)(0xD800 + (point >> 10));
            units[written++] = (WCHAR)(0xDC00 + (point & 0x3FF));
        } else {
            units[written++] = (WCHAR)point;
        }
        text += used;
        remaining -= used;
    }
    return written;
}
