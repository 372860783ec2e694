"""Runs the command of one target as a process, the way a script would."""
import os
import shutil
import subprocess
import tempfile

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
VALGRIND = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"]

# The platform's own texts for the codes the case table answers with. A code
# missing here has no text, and the command writes "Err".
MESSAGES = {
    "wine": {0: "Success.\r\n", 4: "Too many open files.\r\n",
             6: "Invalid handle.\r\n"},
    "linux": {0: "The password has been changed.\n"},
}


def built_locales(folder, locale):
    """The folder, holding the locale, such as "ja_JP.UTF-8", built into it on
    first use: the machine's locales stay as they are."""
    if not os.path.isdir(os.path.join(folder, locale)):
        language, charmap = locale.split(".")
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["localedef", "-i", language, "-f", charmap,
                        os.path.join(folder, locale)], capture_output=True, timeout=120)
        assert os.path.isdir(os.path.join(folder, locale)), f"localedef made no {locale}"
    return folder


class Target:
    def __init__(self, name, exe, fake_dir=None, valgrind=False):
        self.name = name
        self.wrapper = VALGRIND if valgrind else []
        self.work = tempfile.mkdtemp(prefix=f"credmend-{name}-")
        self.env = dict(os.environ, LC_ALL="C.UTF-8")
        self.env.pop("LANG", None)
        self.env.pop("LANGUAGE", None)
        if name == "wine":
            # The exe beside the test netapi32.dll, in a throwaway prefix.
            self.exe = os.path.join(self.work, "credmend.exe")
            shutil.copy(exe, self.exe)
            for helper in ("netapi32.dll", "command_line_probe.exe"):
                shutil.copy(os.path.join(fake_dir, helper), self.work)
            self.env.update(WINEPREFIX=os.path.join(self.work, "prefix"), WINEDEBUG="-all",
                            WINEDLLOVERRIDES="netapi32=n")
            # The x86 exe runs under the 32-bit Wine of scripts/wine32-root,
            # which sees this machine's /tmp, where the work folder is.
            self.wine, self.wineserver = [WINE], [WINESERVER]
            root = os.environ.get("CREDMEND_WINE32_ROOT")
            if root is not None:
                inside = ["chroot", root, "env", "-C", self.work]
                self.wine = inside + ["/usr/lib/wine/wine"]
                # Emulated, the server is this machine's own (scripts/wine32-root).
                self.wineserver = inside + [os.environ.get("WINESERVER", WINESERVER)]
            # Let the new prefix settle fully, then keep one wineserver up for
            # the whole session: a run that starts while an idle server is
            # shutting down can fail to start at all.
            subprocess.run(self.wine + ["wineboot", "-i"], env=self.env, capture_output=True,
                           timeout=120)
            subprocess.run(self.wineserver + ["-w"], env=self.env, timeout=120)
            subprocess.run(self.wineserver + ["-p"], env=self.env, timeout=60)
            # Its background programs start with the first program run, and
            # keep that run's standard error open: start them with none.
            subprocess.run(self.wine + ["cmd", "/c", "exit"], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            self.line_end, self.code_page = "\r\n", "cp1252"
        else:
            self.exe = exe
            self.line_end, self.code_page = "\n", "utf-8"
        self.record = os.path.join(self.work, "record")

    def close(self):
        if self.name == "wine":
            subprocess.run(self.wineserver + ["-k"], env=self.env)
        shutil.rmtree(self.work, ignore_errors=True)

    def command(self, args):
        prefix = self.wine if self.name == "wine" else self.wrapper
        return prefix + [self.exe] + list(args)

    def run(self, args, answer=None, stdin=b"", stdin_closed=False, locale=None, timeout=60):
        """Runs once; returns (stdout bytes, exit status, recorded fields or None)."""
        env = self.environment(answer)
        if locale is not None:
            env["LC_ALL"] = locale
            if locale not in ("C", "C.UTF-8"):
                env["LOCPATH"] = self.locales(locale)
        command = self.command(args)
        if stdin_closed:
            command = ["sh", "-c", 'exec "$@" <&-', "sh"] + command
        for attempt in range(2):
            # The command writes nothing to standard error; anything there
            # comes from the system around it (Wine's loader, valgrind) and
            # tells why a case failed. A file, not a pipe: Wine's background
            # processes would hold a pipe open.
            with tempfile.TemporaryFile() as errors:
                result = subprocess.run(command, input=None if stdin_closed else stdin,
                                        stdout=subprocess.PIPE, stderr=errors, env=env,
                                        timeout=timeout, cwd=self.work)
                errors.seek(0)
                text = errors.read()
            if text:
                print(text.decode(errors="replace"))
            # Wine itself, now and then, fails to start a program: status 1 and
            # no output, which the command never gives. Once more, then judge.
            if not (self.name == "wine" and result.returncode == 1 and not result.stdout):
                break
            print("Wine did not start the exe; running the case once more")
        return result.stdout, result.returncode, self.recorded()

    def locales(self, locale):
        """A folder of the test's own that holds the locale, such as
        "ja_JP.UTF-8", built on first use: the machine's locales stay as
        they are."""
        return built_locales(os.path.join(self.work, "locales"), locale)

    def environment(self, answer=None):
        """The environment of one run, with the test's answer to the request."""
        if os.path.exists(self.record):
            os.remove(self.record)
        env = dict(self.env)
        if answer is not None:
            env["CREDMEND_FAKE_STATUS"] = str(answer)
        record = self.record
        if self.name == "wine":
            record = "Z:" + record.replace("/", "\\")
        env["CREDMEND_FAKE_RECORD"] = record
        return env

    def recorded(self):
        if not os.path.exists(self.record):
            return None
        fields = []
        with open(self.record) as file:
            for line in file.read().splitlines():
                assert line != "absent", "a field was passed as absent"
                units = bytes.fromhex("".join(u[2:] + u[:2] for u in line.split()))
                fields.append(units.decode("utf-16-le"))
        return tuple(fields)

    def exit_status(self, windows_status):
        """What a 32-bit Windows exit status arrives as on this target."""
        if self.name == "wine":
            return windows_status & 0xFF
        return windows_status if windows_status <= 255 else 255

    def expected_output(self, text, answer):
        if isinstance(text, bytes):
            return text
        message = MESSAGES[self.name].get(answer, "Err")
        if self.name == "wine":
            # The text-mode stream turns every line feed into CR LF.
            message = message.replace("\n", "\r\n")
        text = text.replace("{MSG}", message).replace("{NL}", self.line_end)
        return text.encode(self.code_page)
