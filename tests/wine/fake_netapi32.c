/* A stand-in netapi32.dll for tests under Wine: NetUserChangePassword records
   the four strings it was given in CREDMEND_FAKE_RECORD, one line each as
   hexadecimal UTF-16 units ("absent" for a null pointer), and returns the
   status code in CREDMEND_FAKE_STATUS. With CREDMEND_FAKE_SEARCH set (a text
   spelled backwards, so the environment does not hold it), it also counts
   the places where the process's memory holds that text, into the record
   file's name with ".search" added. Never shipped. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The text is compared backwards, so that no copy of it in this DLL's own
   memory is counted: a forward copy here would be found, and a compiler may
   fold away a test of its address. */
static int countInMemory(const char *backwards, size_t length)
{
    MEMORY_BASIC_INFORMATION region;
    const char *address = NULL;
    int found = 0;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                               PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE;
        if (region.State == MEM_COMMIT && (region.Protect & readable) != 0 &&
            (region.Protect & PAGE_GUARD) == 0) {
            const char *start = (const char *)region.BaseAddress;
            size_t i, j;
            for (i = 0; i + length <= region.RegionSize; i++) {
                for (j = 0; j < length && start[i + j] == backwards[length - 1 - j]; j++) {
                }
                found += j == length;
            }
        }
        address = (const char *)region.BaseAddress + region.RegionSize;
    }
    return found;
}

static void searchMemory(const char *recordPath, const char *backwards)
{
    char path[MAX_PATH];
    size_t length = strlen(backwards);
    FILE *file;
    if (length == 0)
        return;
    snprintf(path, sizeof path, "%s.search", recordPath);
    file = fopen(path, "wb");
    if (file == NULL)
        return;
    fprintf(file, "%d\n", countInMemory(backwards, length));
    fclose(file);
}

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
    const char *search = getenv("CREDMEND_FAKE_SEARCH");
    FILE *file;
    if (path != NULL && search != NULL)
        searchMemory(path, search);
    file = path != NULL ? fopen(path, "wb") : NULL;
    if (file != NULL) {
        recordField(file, domain);
        recordField(file, user);
        recordField(file, oldPassword);
        recordField(file, newPassword);
        fclose(file);
    }
    return status != NULL ? (DWORD)strtoul(status, NULL, 0) : 0;
}
