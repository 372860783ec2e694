#ifndef CREDMEND_FAKE_CHANGE_H
#define CREDMEND_FAKE_CHANGE_H

#include "platform/platform.h"

struct FakeChange {
    NET_API_STATUS status;
    int calls;
    WCHAR fields[4][kFieldUnits];  // server, user, old password, new password
};

extern FakeChange gFakeChange;

#endif
