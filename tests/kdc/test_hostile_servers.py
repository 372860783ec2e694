"""Servers that answer wrongly, break off, or never answer: the command still
ends within its deadline with one clear report."""
import socket
import threading
import time

import pytest

from realm import REALM, free_port
from test_kerberos import credmend

FAILED = (b"The Kerberos password change failed.\n", 255)
TIMED_OUT = (b"The password change timed out; the password may or may not have been"
             b" changed.\n", 255)


class Responder:
    """One loopback port, UDP and TCP, answering every request the same way:
    "garbage" (well-framed noise), "cut" (a reply broken off mid-way) or
    "silent" (reads and never answers)."""

    def __init__(self, mode):
        self.mode, self.port = mode, free_port()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", self.port))
        self.tcp = socket.socket()
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("127.0.0.1", self.port))
        self.tcp.listen()
        self.udp.settimeout(0.1)
        self.tcp.settimeout(0.1)
        self.running, self.held = True, []
        self.threads = [threading.Thread(target=self._serve_udp),
                        threading.Thread(target=self._serve_tcp)]
        for thread in self.threads:
            thread.start()

    def _reply(self):
        noise = bytes((i * 37 + 11) % 256 for i in range(200))
        return noise if self.mode == "garbage" else noise[:7]

    def _serve_udp(self):
        while self.running:
            try:
                _, peer = self.udp.recvfrom(65536)
            except socket.timeout:
                continue
            if self.mode != "silent":
                self.udp.sendto(self._reply(), peer)

    def _serve_tcp(self):
        while self.running:
            try:
                connection, _ = self.tcp.accept()
            except socket.timeout:
                continue
            connection.settimeout(5)
            try:
                connection.recv(65536)
                if self.mode == "garbage":
                    connection.sendall(len(self._reply()).to_bytes(4, "big") + self._reply())
                elif self.mode == "cut":
                    connection.sendall((1000).to_bytes(4, "big") + self._reply())
            except OSError:
                pass
            if self.mode == "silent":
                self.held.append(connection)
            else:
                connection.close()

    def stop(self):
        self.running = False
        for thread in self.threads:
            thread.join()
        for each in [self.udp, self.tcp, *self.held]:
            each.close()


@pytest.fixture
def responder():
    started = []

    def start(mode):
        started.append(Responder(mode))
        return started[-1]
    yield start
    for each in started:
        each.stop()


@pytest.mark.parametrize("mode, report", [
    ("garbage", FAILED), ("cut", FAILED), ("silent", TIMED_OUT)])
def test_a_hostile_kdc(deadline_exe, realm, responder, mode, report):
    server = responder(mode)
    realm.add_realm(f"{mode.upper()}.TEST", server.port)
    began = time.monotonic()
    assert credmend(deadline_exe, realm, f"{mode}.test", "alice", "x", "y") == report
    assert time.monotonic() - began < 5


@pytest.mark.parametrize("mode, report", [
    ("garbage", FAILED), ("cut", FAILED), ("silent", TIMED_OUT)])
def test_a_hostile_change_server(deadline_exe, realm, responder, mode, report):
    realm.add_user("hank", "Old-pass-1")
    server = responder(mode)
    realm.use_kpasswd_server(f"127.0.0.1:{server.port}")
    try:
        began = time.monotonic()
        assert credmend(deadline_exe, realm, REALM, "hank", "New-pass-2", "Old-pass-1") == report
        assert time.monotonic() - began < 5
    finally:
        realm.use_kpasswd_server(None)
    assert realm.kinit("hank", "Old-pass-1")
