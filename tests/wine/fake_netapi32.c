/* A stand-in netapi32.dll for tests under Wine: NetUserChangePassword records
   the four strings it was given in CREDMEND_FAKE_RECORD, one line each as
   hexadecimal UTF-16 units ("absent" for a null pointer), and returns the
   status code in CREDMEND_FAKE_STATUS. Never shipped. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void recordField(FILE *file, const WCHAR *field)
{
    int i;
    if (field == NULL) {
        fputs("absent\n", file);
        return;
    }
    for (i = 0; field[i] != 0; i++)
        fprintf(file, i == 0 ? "%04x" : " %04x", (unsigned)field[i]);
    fputc('\n', file);
}

DWORD WINAPI NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                   const WCHAR *oldPassword, const WCHAR *newPassword)
{
    const char *path = getenv("CREDMEND_FAKE_RECORD");
    const char *status = getenv("CREDMEND_FAKE_STATUS");
    FILE *file = path != NULL ? fopen(path, "wb") : NULL;
    if (file != NULL) {
        recordField(file, domain);
        recordField(file, user);
        recordField(file, oldPassword);
        recordField(file, newPassword);
        fclose(file);
    }
    return status != NULL ? (DWORD)strtoul(status, NULL, 0) : 0;
}
