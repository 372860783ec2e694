/* Reads the command line of the running process with the given exe name
   from outside, as Task Manager and Process Explorer do: the process's
   environment block, then its process parameters, with ReadProcessMemory.
   Writes it as UTF-8 and exits 0; 1 when there is no such process. */
#include <windows.h>
#include <winternl.h>
#include <tlhelp32.h>
#include <stdio.h>

static DWORD findProcess(const char *name)
{
    PROCESSENTRY32 entry = {sizeof entry};
    HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    DWORD found = 0;
    BOOL more = Process32First(all, &entry);
    for (; more && !found; more = Process32Next(all, &entry))
        if (lstrcmpiA(entry.szExeFile, name) == 0)
            found = entry.th32ProcessID;
    CloseHandle(all);
    return found;
}

int main(int argc, char **argv)
{
    DWORD id = argc > 1 ? findProcess(argv[1]) : 0;
    HANDLE process = id ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id) : NULL;
    PROCESS_BASIC_INFORMATION basic;
    PEB peb;
    RTL_USER_PROCESS_PARAMETERS parameters;
    WCHAR line[32768] = {0};
    char text[3 * 32768];
    if (process == NULL ||
        NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                  NULL) != 0 ||
        !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, NULL) ||
        !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, NULL) ||
        !ReadProcessMemory(process, parameters.CommandLine.Buffer, line,
                           parameters.CommandLine.Length, NULL))
        return 1;
    int length = WideCharToMultiByte(CP_UTF8, 0, line, parameters.CommandLine.Length / 2, text,
                                     sizeof text, NULL, NULL);
    fwrite(text, 1, length, stdout);
    return 0;
}
