import os
import select
import subprocess
import time

import pytest

from proxy import make_certificates
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
def helpers():
    """Starts programs of the tests' own (relay.py, proxy.py) as
    start(program, arguments, inside), where inside prefixes the command (a
    namespace to run in); each prints "ready", then a word for each thing it
    passes on. Returns a function that stops it and gives those words, once
    as many as it is told to await have come (or 30 seconds have passed)."""
    started = []

    def start(program, arguments, inside=lambda command: command):
        process = subprocess.Popen(inside([
            "/usr/bin/python3", os.path.join(os.path.dirname(__file__), program),
            *map(str, arguments)]), stdout=subprocess.PIPE, text=True)
        started.append(process)
        assert process.stdout.readline() == "ready\n"

        def passed_on(awaited=0):
            words, deadline = [], time.monotonic() + 30
            while len(words) < awaited and select.select(
                    [process.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                words.append(process.stdout.readline().strip())
            process.terminate()
            return words + process.communicate(timeout=10)[0].split()
        return passed_on
    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait()


@pytest.fixture
def relay(helpers):
    """Starts relays (relay.py) in front of a change server at a port of
    127.0.0.1, as start(server_port, tcp_mode, udp_mode, inside). Returns the
    relay's port and a function that stops it and gives the requests it
    passed on."""
    def start(server_port, tcp, udp, inside=lambda command: command):
        port = free_port()
        return port, helpers("relay.py", [port, "127.0.0.1", server_port, tcp, udp], inside)
    return start


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    """A folder of PEM certificates and keys for a KDC proxy on loopback
    (proxy.make_certificates)."""
    folder = tmp_path_factory.mktemp("certificates")
    make_certificates(folder)
    return folder


@pytest.fixture
def proxy(helpers, certificates):
    """Starts KDC proxies (proxy.py) over TLS on loopback, as
    start(servers, mode, certificate, inside): kdcproxy.conf's text, the
    proxy's mode, and the name of its certificate in certificates. Returns
    its URL and a function that stops it and gives the kinds of message it
    was sent, and a "tls" for each connection it took."""
    def start(servers, mode="pass", certificate="proxy", inside=lambda command: command):
        port = free_port()
        configuration = certificates / f"kdcproxy-{port}.conf"
        configuration.write_text(servers)
        sent = helpers("proxy.py", [port, certificates / f"{certificate}.pem",
                                    certificates / f"{certificate}.key", configuration, mode],
                       inside)
        return f"https://localhost:{port}/KdcProxy", sent
    return start
