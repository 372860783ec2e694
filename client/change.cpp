// The one request of a run, and the one report line of its outcome.
#include "client/change.h"

#include <stdio.h>
#include <string.h>

struct FixedReport {
    NET_API_STATUS code;
    const char *text;
};

// The exit status after one of these texts is its length in characters.
static const FixedReport kFixedReports[] = {
    {ERROR_ACCESS_DENIED, "Err: ERROR_ACCESS_DENIED\n"},
    {NERR_UserNotFound, "Err: The user name could not be found.\n"},
    {NERR_NotPrimary,
     "Err: The operation is allowed only on the primary domain controller of the domain.\n"},
    {NERR_PasswordTooShort, "The password is shorter than required.\n"},
    {NERR_InvalidComputer, "Err: The computer name is invalid.\n"},
};


int ChangePassword(CredentialFields *fields)
{
    NET_API_STATUS status = NetUserChangePassword(fields->server, fields->user,
                                                  fields->oldPassword, fields->newPassword);
    SecureZeroMemory(fields, sizeof *fields);
    int exitStatus = ReportChangeStatus(status);
    // The report is the command's own; the server's reason, where it gave
    // one, follows on a line of its own and leaves the exit status alone.
    char line[kReasonLineBytes];
    if (GetServerReason(line))
        printf("%s\n", line);
    return exitStatus;
}

int ReportChangeStatus(NET_API_STATUS status)
{
    for (const FixedReport &report : kFixedReports) {
        if (report.code == status) {
            printf("%s", report.text);
            return (int)strlen(report.text);
        }
    }
    SetLastError(status);
    PrintSystemMessage();
    // Any code but success is a failure, and its exit status must say so.
    return (int)(status < kLargestExitStatus ? status : kLargestExitStatus);
}

void PrintSystemMessage(void)
{
    DWORD code = GetLastError();
    if (PrintConsoleMessage(code))
        return;
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPSTR)&text, 0, NULL);
    if (length != 0)
        printf("%s", text);
    else
        printf("Err");
    if (text != NULL)
        LocalFree(text);
}
