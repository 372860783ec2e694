// credmend: changes the password of one user account in one request.
#include "client/change.h"
#include "frontend/credentials.h"

int CREDMEND_ENTRY(int argc, ArgumentChar **argv)
{
    ProtectProcessMemory();
    CredentialFields fields;
    int status = CollectCredentials(argc, argv, &fields);
    ForgetInput();
    if (status == kCredentialsReady)
        status = ChangePassword(&fields);
    return status;
}
