import os
import subprocess

import pytest

from realm import Realm, free_port


def pytest_addoption(parser):
    parser.addoption("--exe", required=True, help="the Linux credmend")
    parser.addoption("--deadline-exe", required=True,
                     help="credmend built with a short deadline for the change")
    parser.addoption("--valgrind", action="store_true",
                     help="run the command under valgrind; any error or definite leak fails")
    parser.addoption("--sanitized", action="store_true",
                     help="the command is built with sanitizers: no memory images")


# glibc's resolver threads, which look up a domain's DCs at once, are still
# alive at exit: glibc freeing their state then is glibc's error, not ours.
VALGRIND = ["/usr/bin/valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
            "--run-libc-freeres=no"]


def command(request, path):
    return (VALGRIND if request.config.option.valgrind else []) + [path]


@pytest.fixture(scope="session")
def exe(request):
    """The command to run, as a list: valgrind may come first."""
    return command(request, request.config.option.exe)


@pytest.fixture(scope="session")
def deadline_exe(request):
    return command(request, request.config.option.deadline_exe)


@pytest.fixture(scope="module")
def realm():
    # A realm that fails to come up raises here: the tests must not fall back
    # to the machine's own Kerberos configuration.
    realm = Realm()
    yield realm
    realm.stop()


@pytest.fixture
def relay():
    """Starts relays (relay.py) in front of a change server at a port of
    127.0.0.1, as start(server_port, tcp_mode, udp_mode, inside) where inside
    prefixes the command (a namespace to run in). Returns the relay's port and
    a function that stops it and gives the requests it passed on."""
    started = []

    def start(server_port, tcp, udp, inside=lambda command: command):
        port = free_port()
        process = subprocess.Popen(inside([
            "/usr/bin/python3", os.path.join(os.path.dirname(__file__), "relay.py"), str(port),
            "127.0.0.1", str(server_port), tcp, udp]), stdout=subprocess.PIPE, text=True)
        started.append(process)
        assert process.stdout.readline() == "ready\n"

        def passed_on():
            process.terminate()
            return process.communicate(timeout=10)[0].split()
        return port, passed_on
    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait()
