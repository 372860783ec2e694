/* A Windows exe with credmend's imports (KERNEL32, NETAPI32, msvcrt) that
   only prints a line: the floor of starting such an exe under Wine. */
#include <windows.h>
#include <lm.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    (void)argv;
    if (argc > 5) {
        SetLastError(NetUserChangePassword(NULL, NULL, NULL, NULL));
        return (int)GetLastError();
    }
    printf("credmend [server] [user] <newpasswd> <oldpasswd>\n");
    return 0;
}
