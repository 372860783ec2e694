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
    out: Union[str, bytes] = "{MSG}"   # bytes: exactly these
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
               fields=("srv", "bob", "o", "a" * 97 + "\U0001F600"))
    yield Case("a pair of surrogates across the limit", ["srv", "bob", "a" * 98 + "\U0001F600", "o"],
               None, out="Err: The new password is too long.{NL}", status=87)
    yield Case("99 Cyrillic letters fit", ["srv", "\u0436" * 99, "n", "o"],
               fields=("srv", "\u0436" * 99, "o", "n"))
    yield Case("100 Cyrillic letters are refused", ["srv", "\u0436" * 100, "n", "o"], None,
               out="Err: The user name is too long.{NL}", status=87)
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
    yield Case("a line over the buffer is too long whatever it holds", ["srv", "bob", "new"],
               None, stdin=b"\xff" + b"x" * 500 + b"\n",
               out=OLD_PROMPT + "Err: The old password is too long.{NL}", status=87)


def _invalid_text_cases():
    """Bytes the encoding does not allow are refused, never replaced."""
    def refused(what, prompts=""):
        return dict(answer=None, out=f"{prompts}Err: The {what} is not valid text.{{NL}}",
                    status=87, only="linux")
    yield Case("a stray byte in the server name", [b"s\xff", "bob", "n", "o"],
               **refused("server name"))
    yield Case("a sequence cut short in the user name", ["srv", b"\xc3", "n", "o"],
               **refused("user name"))
    yield Case("an encoded surrogate in the old password", ["srv", "bob", "n", b"o\xed\xa0\x80"],
               **refused("old password"))
    yield Case("a Latin-1 byte in the new password", ["srv", "bob", b"P\xe4ss-1", "o"],
               **refused("new password"))
    yield Case("invalid text beyond the limit is invalid, not too long",
               ["srv", "bob", b"a" * 150 + b"\xff", "o"], **refused("new password"))
    yield Case("the user is settled before the passwords", ["srv", "u" * 100, b"\xff", "o"],
               None, out="Err: The user name is too long.{NL}", status=87)
    yield Case("a typed line in Latin-1", ["srv", "bob", "new"], stdin=b"p\xe4ss\n",
               **refused("old password", OLD_PROMPT))
    # A Japanese system's ANSI code page is 932, where a lead byte needs a
    # second byte; the locale makes it Wine's code page too.
    # Success would be worded in Japanese there: a fixed report instead.
    yield Case("a typed line in code page 932", ["srv", "bob", "new"], 2221,
               locale="ja_JP.UTF-8", stdin="\u30d1\u30b9\u30ef\u30fc\u30c9\n".encode("cp932"),
               out=OLD_PROMPT + FIXED[2221][0], status=39,
               fields=("srv", "bob", "\u30d1\u30b9\u30ef\u30fc\u30c9", "new"), only="wine")
    yield Case("a lead byte without its second byte", ["srv", "bob", "new"], None,
               locale="ja_JP.UTF-8", stdin=b"pass\x82\n",
               out=OLD_PROMPT + "Err: The old password is not valid text.{NL}", status=87)


def _language_cases():
    """The system's texts come in the user's language and the locale's
    encoding; the command's own texts stay as they are."""
    for locale, changed in (("de_DE.UTF-8", "Das Passwort wurde geändert.\n".encode()),
                            ("de_DE.ISO-8859-1", b"Das Passwort wurde ge\xe4ndert.\n"),
                            ("ja_JP.UTF-8", "パスワードを変更しました。\n".encode())):
        yield Case(f"success in {locale}", ["srv", "bob", "new", "old"], 0, out=changed,
                   status=0, only="linux", locale=locale)
        yield Case(f"a fixed report in {locale}", ["srv", "bob", "new", "old"], 2245,
                   out=FIXED[2245][0], status=39, only="linux", locale=locale)
        yield Case(f"the usage line in {locale}", [], None, out=USAGE, status=0, only="linux",
                   locale=locale)
        yield Case(f"a prompt and a refusal in {locale}", ["srv", "bob", "new"], None,
                   stdin="x" * 100 + "\n", out=OLD_PROMPT + "Err: The old password is too long.{NL}",
                   status=87, only="linux", locale=locale)


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
    Case("Cyrillic, CJK and an emoji arrive as their UTF-16 units",
         ["\u0441\u0435\u0440\u0432\u0435\u0440", "\u7528\u6237",
          "\u043f\u0430\u0440\u043e\u043b\u044c-\U0001F511", "\u53e4\u3044"],
         fields=("\u0441\u0435\u0440\u0432\u0435\u0440", "\u7528\u6237", "\u53e4\u3044",
                 "\u043f\u0430\u0440\u043e\u043b\u044c-\U0001F511")),
    *_invalid_text_cases(),
    Case("in the C locale, UTF-8 still arrives intact", ["srv", "j\u00f6rg", "n\u00e9w", "o"],
         stdin="", fields=("srv", "j\u00f6rg", "o", "n\u00e9w"), only="linux", locale="C"),
    Case("a failure the platform has no text for", ["srv", "bob", "new", "old"], 2999),
    Case("a failure code above 255", ["srv", "bob", "new", "old"], 70000),
    *_too_long_cases(),
    *_language_cases(),
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
