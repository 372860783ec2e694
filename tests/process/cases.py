"""One table of process-level cases, run against every build of the command.

Each case gives the arguments, what standard input holds, the status the
password change answers with (None: the case must end before any request),
the exact standard output and the exit status as the command reports them on
Windows, where exit statuses are 32 bits wide.

In expected output, {NL} is the platform's line end and {MSG} the platform's
own text for the answered status ("Err" where it has none). Standard input
is text in the platform's code page unless it is given as bytes.
"""
from dataclasses import dataclass, field
from typing import Optional, Union

USAGE = "credmend [server] [user] <newpasswd> <oldpasswd>{NL}"
OLD_PROMPT = "Enter old password:"
NEW_PROMPT = "Enter new password:"
NO_PASSWORD = "Err: No password was given.{NL}"

FIXED = {
    5: ("Err: ERROR_ACCESS_DENIED{NL}", 25),
    2221: ("Err: The user name could not be found.{NL}", 39),
    2226: ("Err: The operation is allowed only on the primary domain controller"
           " of the domain.{NL}", 83),
    2245: ("The password is shorter than required.{NL}", 39),
    2351: ("Err: The computer name is invalid.{NL}", 35),
}


@dataclass
class Case:
    name: str
    args: list
    answer: Optional[int] = 0
    stdin: Union[str, bytes] = ""
    out: str = "{MSG}"
    status: Optional[int] = None        # None: the answered code itself
    fields: Optional[tuple] = None      # server, user, old, new as received
    only: Optional[str] = None          # "wine" or "linux"
    stdin_closed: bool = False
    locale: Optional[str] = None        # LC_ALL for the run, else C.UTF-8


def _fixed_cases():
    for code, (text, status) in FIXED.items():
        yield Case(f"fixed text for {code}", ["srv", "bob", "new", "old"], code,
                   out=text, status=status)
        for near in (code - 1, code + 1):
            yield Case(f"{near} beside a fixed code takes the platform text",
                       ["srv", "bob", "new", "old"], near)


def _too_long_cases():
    ok, long = "a" * 99, "a" * 100
    yield Case("99-unit values fit", [ok, ok, ok, ok], fields=(ok, ok, ok, ok))
    for position, what in ((0, "server name"), (1, "user name"), (2, "new password"),
                           (3, "old password")):
        args = ["srv", "bob", "new", "old"]
        args[position] = long
        yield Case(f"100-unit {what} refused", args, None,
                   out=f"Err: The {what} is too long.{{NL}}", status=87)
    yield Case("values are checked server first", [long, long, long, long], None,
               out="Err: The server name is too long.{NL}", status=87)
    yield Case("old password is checked before the new one", ["s", "u", long, long], None,
               out="Err: The old password is too long.{NL}", status=87)
    yield Case("99-character typed line fits", ["srv", "bob", "new"], stdin=ok + "\r\n",
               out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", ok, "new"))
    yield Case("100-character typed line refused", ["srv", "bob", "new"], None,
               stdin=long + "\n", out=OLD_PROMPT + "Err: The old password is too long.{NL}",
               status=87)
    yield Case("a typed new password too long", ["srv", "bob"], None,
               stdin="old\n" + long + "\n",
               out=OLD_PROMPT + NEW_PROMPT + "Err: The new password is too long.{NL}",
               status=87)
    yield Case("a character of two bytes as the 99th unit", ["srv", "bob", "a" * 98 + "\u00e9", "o"],
               fields=("srv", "bob", "o", "a" * 98 + "\u00e9"))
    yield Case("a pair of surrogates as the 98th and 99th units",
               ["srv", "bob", "a" * 97 + "\U0001F600", "o"],
               fields=("srv", "bob", "o", "a" * 97 + "\U0001F600"), only="linux")
    yield Case("a pair of surrogates across the limit", ["srv", "bob", "a" * 98 + "\U0001F600", "o"],
               None, out="Err: The new password is too long.{NL}", status=87, only="linux")
    yield Case("the longest argument the system passes", ["x" * 131071, "bob", "n", "o"], None,
               out="Err: The server name is too long.{NL}", status=87, only="linux")
    yield Case("a million bytes of arguments", ["x" * 125000] * 8, None,
               out="Err: The server name is too long.{NL}", status=87, only="linux")
    yield Case("the longest argument Windows passes", ["x" * 32000, "bob", "n", "o"], None,
               out="Err: The server name is too long.{NL}", status=87, only="wine")
    yield Case("a typed line of 99 two-byte characters fits", ["srv", "bob", "new"],
               stdin="\u00e9" * 99 + "\n", out=OLD_PROMPT + "{MSG}",
               fields=("srv", "bob", "\u00e9" * 99, "new"))
    yield Case("a line far beyond the buffer is refused", ["srv", "bob", "new"], None,
               stdin="x" * 100000, out=OLD_PROMPT + "Err: The old password is too long.{NL}",
               status=87)


CASES = [
    Case("usage with no arguments", [], None, out=USAGE, status=0),
    Case("usage with one argument", ["srv"], None, stdin="never read\n", out=USAGE, status=0),
    Case("four arguments: third is new, fourth is old", ["srv", "bob", "new", "old"],
         fields=("srv", "bob", "old", "new")),
    Case("arguments after the fourth are ignored", ["srv", "bob", "new", "old", "x", "y"],
         fields=("srv", "bob", "old", "new")),
    Case("every field empty is still a request", ["", "", "", ""], fields=("", "", "", "")),
    Case("a character outside ASCII arrives as its UTF-16 unit", ["s\u00e9rv", "b\u00f6b", "n", "o"],
         fields=("s\u00e9rv", "b\u00f6b", "o", "n")),
    Case("success exits 0", ["srv", "bob", "new", "old"], 0, status=0),
    *_fixed_cases(),
    Case("bytes the encoding does not allow become U+FFFD", [b"s\xff", b"\xc3", "n", "o"],
         fields=("s\ufffd", "\ufffd", "o", "n"), only="linux"),
    Case("in the C locale, UTF-8 still arrives intact", ["srv", "j\u00f6rg", "n\u00e9w", "o"],
         stdin="", fields=("srv", "j\u00f6rg", "o", "n\u00e9w"), only="linux", locale="C"),
    Case("a failure the platform has no text for", ["srv", "bob", "new", "old"], 2999),
    Case("a failure code above 255", ["srv", "bob", "new", "old"], 70000),
    *_too_long_cases(),
    # Console prompts, with output redirected.
    Case("two arguments: old password asked first", ["srv", "bob"], stdin="old\nnew\n",
         out=OLD_PROMPT + NEW_PROMPT + "{MSG}", fields=("srv", "bob", "old", "new")),
    Case("three arguments: only the old password is asked", ["srv", "bob", "new"],
         stdin="old\n", out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", "old", "new")),
    Case("CR LF ends a line; a lone CR is kept", ["srv", "bob"], stdin="o\rld\r\nnew\r\n",
         out=OLD_PROMPT + NEW_PROMPT + "{MSG}", fields=("srv", "bob", "o\rld", "new")),
    Case("a last line without a line end", ["srv", "bob", "new"], stdin="abc",
         out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", "abc", "new")),
    Case("an empty line is an empty password", ["srv", "bob"], stdin="\nnew\n",
         out=OLD_PROMPT + NEW_PROMPT + "{MSG}", fields=("srv", "bob", "", "new")),
    Case("a zero byte ends the typed text", ["srv", "bob", "new"], stdin="ab\0cd\n",
         out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", "ab", "new")),
    Case("a typed character outside ASCII", ["srv", "bob", "new"], stdin="p\u00e4ss\n",
         out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", "p\u00e4ss", "new")),
    Case("end of input at the only prompt", ["srv", "bob", "new"], None,
         out=OLD_PROMPT + NO_PASSWORD, status=87),
    Case("end of input at the first of two prompts", ["srv", "bob"], None,
         out=OLD_PROMPT + NO_PASSWORD, status=87),
    Case("end of input at the second prompt", ["srv", "bob"], None, stdin="old\n",
         out=OLD_PROMPT + NEW_PROMPT + NO_PASSWORD, status=87),
    Case("standard input closed", ["srv", "bob"], None, stdin_closed=True,
         out=OLD_PROMPT + NO_PASSWORD, status=87),
    # Ctrl-Z ends piped data on Windows; elsewhere it is an ordinary byte.
    Case("Ctrl-Z ends the piped input", ["srv", "bob"], None, stdin="old\n\x1anew\n",
         out=OLD_PROMPT + NEW_PROMPT + NO_PASSWORD, status=87, only="wine"),
    Case("Ctrl-Z inside a line ends it there", ["srv", "bob", "new"], stdin="ab\x1acd\n",
         out=OLD_PROMPT + "{MSG}", fields=("srv", "bob", "ab", "new"), only="wine"),
    Case("Ctrl-Z is data", ["srv", "bob"], stdin="old\n\x1anew\n",
         out=OLD_PROMPT + NEW_PROMPT + "{MSG}", fields=("srv", "bob", "old", "\x1anew"),
         only="linux"),
]
