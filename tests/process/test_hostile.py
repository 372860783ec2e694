"""Hostile input and broken surroundings. The command must not crash, hang,
read without bound, report a failure as success, or leak a password."""
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time

import pytest

OLD, NEW = "Zx-old-secret-7", "Qv-new-secret-9"
USAGE = "credmend [server] [user] <newpasswd> <oldpasswd>{NL}"


def start(target, args, answer=None, stdout=subprocess.PIPE, wrap=None):
    command = target.command(args)
    if wrap is not None:
        command = ["sh", "-c", wrap, "sh"] + command
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout,
                            stderr=subprocess.PIPE, env=target.environment(answer),
                            cwd=target.work)


def linux_only(target):
    if target.name != "linux":
        pytest.skip("a Linux process property")


@pytest.fixture
def unsanitized(request):
    if request.config.option.sanitized:
        pytest.skip("the sanitizers' own memory hides the command's")


def test_usage_reads_nothing(target):
    process = start(target, ["srv"], wrap='"$@"; cat')
    out, _ = process.communicate(b"left for the next command\n", timeout=60)
    assert out == target.expected_output(USAGE, None) + b"left for the next command\n"


def test_a_line_end_split_across_two_reads(target):
    process = start(target, ["srv", "bob"], answer=0)
    process.stdin.write(b"Old-1\r")
    process.stdin.flush()
    time.sleep(0.3)
    process.stdin.write(b"\nNew-2\n")
    process.stdin.close()
    process.wait(timeout=60)
    assert target.recorded() == ("srv", "bob", "Old-1", "New-2")


def test_endless_input_is_refused_in_bounded_memory(target, request):
    # GNU time measures the command alone, not the Python that starts it.
    peak = os.path.join(target.work, "peak")
    process = start(target, ["srv", "bob", "new"], answer=0,
                    wrap=f'exec /usr/bin/time -f %M -o {peak} "$@"')
    written = 0

    def feed():
        nonlocal written
        chunk = b"x" * (1 << 20)
        try:
            while written < (1 << 30):
                process.stdin.write(chunk)
                written += len(chunk)
            process.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
    feeder = threading.Thread(target=feed)
    start_time = time.monotonic()
    feeder.start()
    out = process.stdout.read()
    process.wait(timeout=60)
    took = time.monotonic() - start_time
    feeder.join(timeout=60)
    with open(peak) as file:
        peak_kib = int(file.read().split()[-1])
    assert out == target.expected_output(
        "Enter old password:Err: The old password is too long.{NL}", None)
    assert process.returncode == 87
    assert target.recorded() is None
    print(f"\n{target.name}: 1 GiB offered, refused after {written >> 20} MiB was taken, "
          f"{took:.2f} s, peak RSS {peak_kib} KiB")
    if target.name == "linux" and not request.config.option.sanitized:
        assert peak_kib < 8 * 1024


@pytest.mark.parametrize("answer, status", [(0, 0), (2221, 39), (2999, 2999)])
@pytest.mark.parametrize("where", ["closed", "full"])
def test_output_that_cannot_be_written(target, where, answer, status):
    if where == "full" and target.name == "wine":
        pytest.skip("/dev/full is a Linux device")
    wrap = 'exec "$@" >&-' if where == "closed" else 'exec "$@" >/dev/full'
    process = start(target, ["srv", "bob", NEW, OLD], answer, wrap=wrap)
    process.communicate(timeout=60)
    assert process.returncode == target.exit_status(status)
    assert target.recorded() is not None


@pytest.mark.parametrize("answer", [0, 5, 2221, 2226, 2245, 2351, 2140, 2999])
def test_no_password_in_any_report(target, answer):
    runs = [(["srv", "bob", NEW, OLD], b""), (["srv", "bob"], f"{OLD}\n{NEW}\n".encode()),
            (["srv", "bob", NEW], f"{OLD}\r\n".encode())]
    for args, stdin in runs:
        process = start(target, args, answer)
        out, err = process.communicate(stdin, timeout=60)
        for secret in (OLD, NEW):
            assert secret.encode() not in out + err
            assert secret.encode("utf-16-le") not in out + err


def test_no_password_in_a_refusal(target):
    long_old = "Zx" * 50
    for args, stdin in ((["srv", "bob", NEW, long_old], b""),
                        (["srv", "bob"], f"{long_old}\n".encode()),
                        (["srv", "bob"], f"{OLD}\n{long_old}\n".encode())):
        out, err = start(target, args).communicate(stdin, timeout=60)
        assert b"too long" in out
        for secret in (OLD, long_old, NEW):
            assert secret.encode() not in out + err


def owner_once_running(process, program, timeout=10):
    """The owner of the process's /proc files once it runs the program."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if os.path.realpath(f"/proc/{process.pid}/exe") == os.path.realpath(program):
                time.sleep(0.2)
                return os.stat(f"/proc/{process.pid}/status").st_uid
        except OSError:
            pass
        time.sleep(0.01)
    raise AssertionError(f"{program} did not start")


def test_the_process_is_not_dumpable(target):
    linux_only(target)
    # The files in /proc of a process that is not dumpable belong to root, not
    # to the user it runs as; a plain sleep shows what the test would see else.
    as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    sleeper = subprocess.Popen(as_nobody + ["/usr/bin/sleep", "30"])
    command = subprocess.Popen(as_nobody + [target.exe, "srv", "bob"], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL)
    try:
        assert owner_once_running(sleeper, "/usr/bin/sleep") != 0
        assert owner_once_running(command, target.exe) == 0
    finally:
        sleeper.kill()
        command.kill()
        sleeper.wait()
        command.wait()


def memory_after(exe, env, stop_at, args, stdin):
    """The command's memory, as a core image taken when it reaches stop_at."""
    folder = tempfile.mkdtemp(prefix="credmend-core-")
    try:
        with open(os.path.join(folder, "stdin"), "wb") as file:
            file.write(stdin)
        core = os.path.join(folder, "core")
        subprocess.run(["gdb", "-batch", "-nx", "-ex", f"break {stop_at}",
                        "-ex", f"run {' '.join(args)} < {folder}/stdin > /dev/null",
                        "-ex", f"gcore {core}", "-ex", "kill", "--args", exe],
                       env=env, capture_output=True, timeout=120)
        with open(core, "rb") as file:
            return loaded_segments(file.read())
    finally:
        shutil.rmtree(folder)


def loaded_segments(core):
    """The process memory in an ELF core, without the notes the debugger adds
    (its copy of the command line among them)."""
    phoff, = struct.unpack_from("<Q", core, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", core, 0x36)
    memory = b""
    for index in range(phnum):
        kind, _, offset, _, _, size = struct.unpack_from("<IIQQQQ", core,
                                                         phoff + index * phentsize)
        if kind == 1:  # PT_LOAD
            memory += core[offset:offset + size]
    return memory


def secrets_in(memory):
    return [secret for secret in (OLD, NEW)
            for encoding in ("utf-8", "utf-16-le") if secret.encode(encoding) in memory]


@pytest.mark.parametrize("args, stdin", [
    (["srv", "bob"], f"{OLD}\n{NEW}\n".encode()),
    (["srv", "bob", NEW, OLD], b""),
], ids=["typed", "arguments"])
def test_passwords_are_wiped_once_the_request_returns(target, unsanitized, args, stdin):
    linux_only(target)
    # While the request runs the fields hold both passwords: the search works.
    def memory(stop_at):
        return memory_after(target.exe, target.environment(0), stop_at, args, stdin)
    assert len(secrets_in(memory("NetUserChangePassword"))) >= 2
    # The report comes after the wipe.
    assert secrets_in(memory("FormatMessageA")) == []


def wine_only(target):
    if target.name != "wine":
        pytest.skip("the Linux terminal has tests of its own against a real change")


def at_console(target, command, steps, env=None, ends=True):
    """Runs the command on a pseudo-terminal, where Wine gives it a console.
    Each step waits for a text on the screen, then types bytes, calls a
    function or, with None, does nothing. Returns the exit status (None when
    it is not to end by itself) and what the screen showed, without terminal
    controls."""
    master, slave = os.openpty()
    process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave,
                               env=env or target.environment(0), cwd=target.work,
                               start_new_session=True)
    seen = b""

    def screen():
        return re.sub(rb"\x1b\[[0-9;?]*[a-zA-Z]", b"", seen)

    def read_until(text, timeout=30):
        nonlocal seen
        deadline = time.monotonic() + timeout
        while text not in screen() and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                try:
                    seen += os.read(master, 4096)
                except OSError:
                    break
    status = None
    try:
        for wait_for, action in steps:
            read_until(wait_for)
            if action is None:
                continue
            # Wine leaves the terminal in its own echoing mode until the read
            # begins, so type as a person would: after the prompt has settled.
            time.sleep(1)
            action(process) if callable(action) else os.write(master, action)
        if ends:
            status = process.wait(timeout=30)
            read_until(b"\0", timeout=0.3)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
        os.close(slave)
    return status, screen()


def in_cmd(target, commands):
    """Wine's cmd running the given command lines one after the other on one
    console; "credmend" stands for the exe."""
    exe = "Z:" + target.exe.replace("/", "\\")
    return target.wine + ["cmd", "/c", " & ".join(commands).replace("credmend", exe)]


@pytest.mark.parametrize("confirmation, report, status", [
    (None, rb"Success\.", 0), ("Other-new-1", rb"Err: The new passwords do not match\.", 87),
], ids=["confirmed", "mismatch"])
def test_typed_passwords_are_not_echoed_at_a_console(target, confirmation, report, status):
    wine_only(target)
    # Read from the console as UTF-16: no code page between the keys and
    # the request. Wine's cmd echoes a typed line, credmend not.
    typed = "P\u00e4ss-\u0416-\u00df-" + OLD
    lines = (typed, NEW, confirmation or NEW)
    prompts = (b"Enter old password:", b"Enter new password:", b"Confirm new password:")
    steps = [(prompt, line.encode() + b"\r") for prompt, line in zip(prompts, lines)]
    got, screen = at_console(target, target.command(["srv", "bob"]), steps)
    assert got == status
    for line in lines:
        assert line.encode() not in screen
    # After each unechoed line, the next text starts on a line of its own.
    assert re.fullmatch(rb"Enter old password:\r+\nEnter new password:\r+\n"
                        rb"Confirm new password:\r+\n" + report + rb"\r+\n", screen), screen
    assert target.recorded() == (("srv", "bob", typed, NEW) if status == 0 else None)


def test_the_command_line_forgets_password_arguments(target):
    wine_only(target)
    # Read from outside, as Task Manager reads it, while credmend waits at
    # its prompt: a password argument must be gone from it by then.
    probe = target.wine + [os.path.join(target.work, "command_line_probe.exe"), "credmend.exe"]
    seen = []

    def look(_):
        seen.append(subprocess.run(probe, env=target.env, capture_output=True, timeout=60))
    typed = [(b"Enter old password:", b"Old-1\r"), (b"Enter new password:", NEW.encode() + b"\r"),
             (b"Confirm new password:", NEW.encode() + b"\r")]
    for args in (["srv", "bob"], ["srv", "bob", NEW]):
        at_console(target, target.command(args), [(b"Enter old password:", look)]
                   + typed[:3 if len(args) == 2 else 1])
        assert target.recorded() == ("srv", "bob", "Old-1", NEW)
    assert [probe.returncode for probe in seen] == [0, 0]
    # With no password argument there is nothing to forget: the probe reads.
    assert b"credmend.exe" in seen[0].stdout and b"srv bob" in seen[0].stdout
    assert b"credmend.exe" in seen[1].stdout
    assert NEW.encode() not in seen[1].stdout and b"bob" not in seen[1].stdout


def test_a_too_long_typed_line_leaves_nothing_for_the_next_reader(target):
    wine_only(target)
    # Longer than one console read: what the command did not take would be
    # the next command's old password.
    status, screen = at_console(target, in_cmd(target, ["credmend srv bob new", "credmend srv bob2 new"]),
                                [(b"Enter old password:", b"y" * 150 + b"-tail\r"),
                                 (b"too long.\r\r\nEnter old password:", b"second\r")])
    assert b"Err: The old password is too long." in screen
    assert target.recorded() == ("srv", "bob2", "second", "new")


def test_ctrl_c_at_the_prompt_gives_the_console_its_echo_back(target):
    wine_only(target)
    # Wine turns SIGINT into the console's Ctrl+C; a typed ^C it ignores.
    # Wine names each process after its exe, emulated too, where the command
    # line the system shows is the emulator's.
    def interrupt(cmd):
        subprocess.run(["pkill", "-INT", "-s", str(cmd.pid), "-x", "credmend.exe"], check=True)
    # Wine's cmd does not end: its read is given to the ended command's.
    _, screen = at_console(target, in_cmd(target, ["credmend srv bob new", "set /p X=Next:"]),
                           [(b"Enter old password:", interrupt), (b"Next:", b"seen-again\r"),
                            (b"seen-again", None)], ends=False)
    assert b"Next:seen-again" in screen
    assert target.recorded() is None


def test_the_system_text_shows_as_written_at_a_console(target):
    wine_only(target)
    # In French, Wine's text for 1083 holds an "oe" ligature, which the ANSI
    # code page has at a place where Latin-1 has a control character.
    env = target.environment(1083)
    env.update(LC_ALL="fr_FR.UTF-8", LOCPATH=target.locales("fr_FR.UTF-8"))
    status, screen = at_console(target, target.command(["srv", "bob", NEW, OLD]), [], env)
    assert screen == "Le service n'est pas mis en \u0153uvre par l'ex\u00e9cutable.\r\r\n".encode()
    assert status == 1083 & 0xFF


def test_typed_passwords_leave_no_copy_in_the_exe(target):
    if target.name != "wine":
        pytest.skip("on Linux, core images are searched instead")
    # The test netapi32.dll searches the process's memory during the request:
    # the typed lines are gone from the C runtime's input buffer by then,
    # while the user name, also in the command line, is found.
    user = "Uq-user-marker-3"

    def found(text):
        env = target.environment(0)
        env["CREDMEND_FAKE_SEARCH"] = text[::-1]
        subprocess.run(target.command(["srv", user]), input=f"{OLD}\n{NEW}\n".encode(),
                       env=env, cwd=target.work, capture_output=True, timeout=60)
        with open(target.record + ".search") as file:
            return int(file.read())
    assert found(user) >= 1
    assert found(OLD) == 0
    assert found(NEW) == 0
