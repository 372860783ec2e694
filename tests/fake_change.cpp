// Stands in for the password change: records the four strings it was given
// and answers with a chosen status code, from CREDMEND_FAKE_STATUS when set.
// With CREDMEND_FAKE_RECORD set, the strings go to that file, one line each,
// as hexadecimal UTF-16 units, and no copy of them stays in memory; else
// they are kept in gFakeChange.
#include "tests/fake_change.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

FakeChange gFakeChange;

static void copyField(WCHAR *to, const WCHAR *from)
{
    int i = 0;
    for (; i < kFieldUnits - 1 && from[i] != 0; i++)
        to[i] = from[i];
    to[i] = 0;
}

static void recordField(FILE *file, const WCHAR *field)
{
    for (int i = 0; field[i] != 0; i++)
        fprintf(file, i == 0 ? "%04x" : " %04x", (unsigned)field[i]);
    fputc('\n', file);
}

NET_API_STATUS NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                     const WCHAR *oldPassword, const WCHAR *newPassword)
{
    const WCHAR *given[4] = {domain, user, oldPassword, newPassword};
    gFakeChange.calls++;
    const char *path = getenv("CREDMEND_FAKE_RECORD");
    for (int i = 0; i < 4 && path == NULL; i++) {
        if (given[i] != NULL)
            copyField(gFakeChange.fields[i], given[i]);
    }
    FILE *file = path != NULL ? fopen(path, "w") : NULL;
    if (file != NULL) {
        for (int i = 0; i < 4; i++) {
            if (given[i] == NULL)
                fputs("absent\n", file);
            else
                recordField(file, given[i]);
        }
        fclose(file);
    }
    const char *status = getenv("CREDMEND_FAKE_STATUS");
    return status != NULL ? (NET_API_STATUS)strtoul(status, NULL, 0) : gFakeChange.status;
}

bool GetServerReason(char *line)
{
    (void)line;
    return false;
}
