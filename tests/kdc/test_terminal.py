"""The masked prompt at a terminal: echo is off only while a password is read."""
import os
import select
import signal
import subprocess
import termios
import time

import pytest

from realm import REALM


# A minimal job-control shell: the pseudo-terminal becomes the controlling
# terminal of a new session, and the command runs in a foreground process
# group of its own, so a stop signal really stops it. Exits with the
# command's status, 128 + N when signal N ended it. IGNORED_SIGNALS names
# signals the command starts with ignored, as under nohup.
SHELL = """
import fcntl, os, signal, sys, termios
for ignored in filter(None, os.environ.get("IGNORED_SIGNALS", "").split(",")):
    signal.signal(int(ignored), signal.SIG_IGN)
os.setsid()
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.execv(sys.argv[1], sys.argv[1:])
os.setpgid(pid, pid)
os.tcsetpgrp(0, pid)
status = os.waitpid(pid, 0)[1]
sys.exit(os.waitstatus_to_exitcode(status) % 256 if os.WIFEXITED(status)
         else 128 + os.WTERMSIG(status))
"""


class Terminal:
    """The command on a pseudo-terminal, as a person at a prompt would run it."""

    def __init__(self, exe, realm, *args, ignored=()):
        self.master, self.slave = os.openpty()
        env = dict(realm.env, IGNORED_SIGNALS=",".join(str(int(s)) for s in ignored))
        self.shell = subprocess.Popen(["/usr/bin/python3", "-c", SHELL, *exe, *args],
                                      stdin=self.slave, stdout=self.slave, stderr=self.slave,
                                      env=env)
        self.output = b""
        self.pid = self._command_pid()

    def _command_pid(self):
        children = f"/proc/{self.shell.pid}/task/{self.shell.pid}/children"
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(children) as file:
                pids = file.read().split()
            if pids:
                return int(pids[0])
            time.sleep(0.01)
        raise RuntimeError("the command did not start")

    def signal(self, signo):
        os.kill(self.pid, signo)

    def wait(self, timeout):
        return self.shell.wait(timeout=timeout)

    def stopped(self):
        with open(f"/proc/{self.pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] == "T"

    def echo(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def read_until(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while text not in self.output and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.1)[0]:
                try:
                    self.output += os.read(self.master, 4096)
                except OSError:
                    break
        assert text in self.output, self.output

    def await_echo(self, wanted, timeout=10):
        deadline = time.monotonic() + timeout
        while self.echo() != wanted and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.echo() == wanted

    def type(self, text):
        os.write(self.master, text)

    def close(self):
        if self.shell.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
        self.shell.wait()
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def terminal(exe, realm):
    realm.add_user("gina", "Old-pass-1")
    terminals = []

    def start(*args, ignored=()):
        terminals.append(Terminal(exe, realm, *args, ignored=ignored))
        return terminals[-1]
    yield start
    for each in terminals:
        each.close()


@pytest.mark.parametrize("confirmation, report, status, accepted", [
    (b"New-pass-2\n", b"The password has been changed.\r\n", 0, "New-pass-2"),
    (b"New-pass-3\n", b"Err: The new passwords do not match.\r\n", 87, "Old-pass-1"),
    (b"\x04", b"Err: No password was given.\r\n", 87, "Old-pass-1"),
    (b"x" * 100 + b"\n", b"Err: The new password is too long.\r\n", 87, "Old-pass-1"),
], ids=["confirmed", "mismatch", "end of input", "too long"])
def test_typed_passwords_are_not_echoed_and_the_new_one_is_confirmed(
        terminal, realm, confirmation, report, status, accepted):
    term = terminal(REALM, "gina")
    for prompt, line in ((b"Enter old password:", b"Old-pass-1\n"),
                         (b"Enter new password:", b"New-pass-2\n"),
                         (b"Confirm new password:", confirmation)):
        term.read_until(prompt)
        assert term.await_echo(False)
        term.type(line)
    assert term.wait(30) == status
    term.read_until(report)
    assert term.output == (b"Enter old password:\r\nEnter new password:\r\n"
                           b"Confirm new password:\r\n" + report)
    assert term.echo()
    assert realm.kinit("gina", accepted)


@pytest.mark.parametrize("signo", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT])
def test_a_signal_at_the_prompt_restores_echo_and_ends_by_it(terminal, signo):
    term = terminal(REALM, "gina", "New-pass-2")
    term.read_until(b"Enter old password:")
    assert term.await_echo(False)
    term.signal(signo)
    assert term.wait(10) == 128 + signo
    assert term.echo()


def test_a_stopped_prompt_echoes_until_resumed(terminal, realm):
    term = terminal(REALM, "gina", "New-pass-3")
    term.read_until(b"Enter old password:")
    # The process list no longer shows the new password while the prompt waits.
    with open(f"/proc/{term.pid}/cmdline", "rb") as file:
        assert b"New-pass-3" not in file.read()
    assert term.await_echo(False)
    term.signal(signal.SIGTSTP)
    assert term.await_echo(True), "echo stayed off while stopped"
    assert term.stopped()
    term.signal(signal.SIGCONT)
    assert term.await_echo(False), "echo came back on after the resume"
    term.type(b"Old-pass-1\n")
    assert term.wait(30) == 0
    assert term.echo()


def test_a_signal_the_caller_ignores_stays_ignored(terminal, realm):
    term = terminal(REALM, "gina", "New-pass-4", ignored=[signal.SIGHUP])
    term.read_until(b"Enter old password:")
    assert term.await_echo(False)
    term.signal(signal.SIGHUP)
    time.sleep(0.2)
    assert not term.echo(), "echo came back though the read goes on"
    term.type(b"Old-pass-1\n")
    assert term.wait(30) == 0
    assert realm.kinit("gina", "New-pass-4")
