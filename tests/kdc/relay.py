"""A relay on loopback between the command and a real change server that
loses what a network can lose, and counts the requests it passes on.

It runs as a program of its own, so that it can run inside the domain
controller's network namespace too:

    relay.py PORT SERVER_HOST SERVER_PORT TCP_MODE UDP_MODE

TCP: "pass"; "reset" (the request goes on, the connection is reset instead
of the reply); "silent" (the request goes on, the reply is kept back and the
connection held open); "refuse" (nothing listens); "hold" (accepts and never
reads); "drop" (connection attempts go unanswered: the listen queue is full);
"close" (reads the request, closes the connection and passes nothing on);
"stopped:N" (the request waits N seconds, as in the queue of a server that
is stopped or busy, then goes on, and the reply comes back).
UDP: "pass"; "drop" (requests go on, no reply comes back); "drop-first" (the
first reply is lost); "first" (the first request is answered, the others
are lost); "lose" (requests are lost on the way); "off" (nothing listens).

Prints "ready", then "tcp" or "udp" for each request it passes on, once the
server has answered it.
"""
import socket
import sys
import threading
import time


def receive_framed(connection):
    """One message with its 4-byte length, as Kerberos frames it over TCP."""
    data = b""
    while len(data) < 4 or len(data) < 4 + int.from_bytes(data[:4], "big"):
        piece = connection.recv(65536)
        if not piece:
            return None
        data += piece
    return data


def say(word):
    print(word, flush=True)


class Relay:
    def __init__(self, port, server, tcp_mode, udp_mode):
        self.server, self.tcp_mode, self.udp_mode = server, tcp_mode, udp_mode
        self.held, self.udp_replies, self.udp_requests = [], 0, 0
        if tcp_mode != "refuse":
            self.tcp = socket.socket()
            self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.tcp.bind(("127.0.0.1", port))
            self.tcp.listen(0 if tcp_mode == "drop" else 8)
            if tcp_mode == "drop":
                # Fills the one place in the queue, which is never accepted.
                self.held.append(socket.create_connection(("127.0.0.1", port)))
            else:
                threading.Thread(target=self.serve_tcp, daemon=True).start()
        if udp_mode != "off":
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.udp.bind(("127.0.0.1", port))
            threading.Thread(target=self.serve_udp, daemon=True).start()

    def serve_tcp(self):
        while True:
            client, _ = self.tcp.accept()
            threading.Thread(target=self.relay_tcp, args=(client,), daemon=True).start()

    def relay_tcp(self, client):
        if self.tcp_mode == "hold":
            self.held.append(client)
            return
        request = receive_framed(client)
        if request is None or self.tcp_mode == "close":
            client.close()
            return
        if self.tcp_mode.startswith("stopped:"):
            time.sleep(float(self.tcp_mode.split(":")[1]))
        upstream = socket.create_connection(self.server)
        upstream.sendall(request)
        reply = receive_framed(upstream)
        upstream.close()
        say("tcp")
        if self.tcp_mode == "silent":
            self.held.append(client)
            return
        if self.tcp_mode == "reset":
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        elif reply is not None:
            try:
                client.sendall(reply)
            except OSError:
                pass  # the command has given up and gone
        client.close()

    def serve_udp(self):
        while True:
            request, peer = self.udp.recvfrom(65536)
            threading.Thread(target=self.relay_udp, args=(request, peer), daemon=True).start()

    def relay_udp(self, request, peer):
        self.udp_requests += 1
        if self.udp_mode == "lose" or (self.udp_mode == "first" and self.udp_requests > 1):
            return
        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        upstream.settimeout(10)
        upstream.sendto(request, self.server)
        try:
            reply = upstream.recv(65536)
        except OSError:
            reply = None
        say("udp")
        if reply is None:
            return
        self.udp_replies += 1
        lost = self.udp_mode == "drop" or (self.udp_mode == "drop-first" and self.udp_replies == 1)
        if not lost:
            self.udp.sendto(reply, peer)


if __name__ == "__main__":
    port, host, server_port, tcp_mode, udp_mode = sys.argv[1:]
    relay = Relay(int(port), (host, int(server_port)), tcp_mode, udp_mode)
    say("ready")
    threading.Event().wait()
