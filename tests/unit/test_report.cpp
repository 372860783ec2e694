// The request, its report and the message table that words the outcome.
#include <gtest/gtest.h>

#include <string.h>
#include <thread>

#include "client/change.h"
#include "tests/fake_change.h"

namespace {

TEST(ChangePassword, PassesTheFieldsInOrderAndWipesThem)
{
    CredentialFields fields = {u"srv", u"bob", u"old", u"new"};
    gFakeChange = FakeChange();
    gFakeChange.status = NERR_UserNotFound;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ChangePassword(&fields), 39);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Err: The user name could not be found.\n");
    EXPECT_EQ(gFakeChange.calls, 1);
    EXPECT_EQ(std::u16string(gFakeChange.fields[0]), u"srv");
    EXPECT_EQ(std::u16string(gFakeChange.fields[2]), u"old");
    EXPECT_EQ(std::u16string(gFakeChange.fields[3]), u"new");
    const unsigned char *bytes = (const unsigned char *)&fields;
    for (size_t i = 0; i < sizeof fields; i++)
        ASSERT_EQ(bytes[i], 0) << "byte " << i << " of the fields survived the request";
}

TEST(MessageTable, WordsEveryOutcomeOfAChangeInOneLine)
{
    const DWORD codes[] = {NERR_Success,     ERROR_NOT_ENOUGH_MEMORY, ERROR_BAD_NETPATH,
                           ERROR_UNEXP_NET_ERR, ERROR_INVALID_PASSWORD, ERROR_NO_SUCH_DOMAIN,
                           WAIT_TIMEOUT,     ERROR_TIME_SKEW,         ERROR_TIMEOUT,
                           ERROR_ACCOUNT_EXPIRED, ERROR_ACCOUNT_RESTRICTION, NERR_InternalError,
                           ERROR_BAD_NET_RESP, ERROR_NETWORK_ACCESS_DENIED, ERROR_NETWORK_BUSY,
                           ERROR_NOT_SUPPORTED};
    for (DWORD code : codes) {
        char *text = NULL;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                      NULL, code, 0, (LPSTR)&text, 0, NULL);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_EQ(length, strlen(text));
        EXPECT_EQ(strchr(text, '\n'), text + length - 1) << code;
        LocalFree(text);
    }
}

TEST(MessageTable, HasNoTextForOtherCodes)
{
    char *text = (char *)"stale";
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL,
                             2244, 0, (LPSTR)&text, 0, NULL),
              0u);
    EXPECT_EQ(text, nullptr);
}

TEST(MessageTable, LastErrorBelongsToTheThread)
{
    SetLastError(ERROR_TIMEOUT);
    DWORD seen = 1;
    std::thread other([&] { seen = GetLastError(); });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
}

}  // namespace
