/* The floor of starting a process: print one line, statically linked. */
#include <stdio.h>

int main(void)
{
    puts("credmend [server] [user] <newpasswd> <oldpasswd>");
    return 0;
}
