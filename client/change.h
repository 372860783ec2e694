// The password change request and the report of its outcome.
#ifndef CREDMEND_CHANGE_H
#define CREDMEND_CHANGE_H

#include "platform/platform.h"

// Makes the request, wipes the fields, reports; returns the exit status.
int ChangePassword(CredentialFields *fields);
int ReportChangeStatus(NET_API_STATUS status);
void PrintSystemMessage(void);

#endif
