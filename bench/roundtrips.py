"""Round trips of one password change, credmend beside MIT kpasswd, counted
from a packet capture: on a slow link each one is felt.

Against a Samba Active Directory DC that serves its own DNS, with a client
that has no Kerberos configuration, and against an MIT realm with a static
configuration, directly and through FreeIPA's KDC proxy. Every packet on
the servers' ports is held 25 ms on its way (delay.c, through netfilter's
queue: this kernel has no netem), so a link of 50 ms a round trip, and what
a client sends at once is seen to go at once. A round trip is each time the
client has to wait for a server: a datagram, a connection opened, a
request on it.

    roundtrips.py CREDMEND DELAY
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "kdc"))
from domain import DNS_DOMAIN, REALM, DomainController  # noqa: E402
from proxy import make_certificates  # noqa: E402
from realm import REALM as MIT_REALM, Realm, free_port  # noqa: E402

PACKET = re.compile(r"IP6? (\S+?)\.(\d+) > (\S+?)\.(\d+): (.*)")
ONE_WAY_MILLISECONDS = 25


def round_trips(lines, server_ports):
    """How many times the client waited for a server."""
    trips, waiting = 0, False
    for line in lines:
        packet = PACKET.search(line)
        if packet is None:
            if " ICMP " in line and waiting:  # a refusal answers too
                waiting = False
            continue
        _, source, _, destination, rest = packet.groups()
        flags = re.search(r"Flags \[([^\]]*)\]", rest)
        length = re.search(r"length (\d+)", rest)
        carries = flags is None or "S" in flags.group(1) or "R" in flags.group(1) or (
            length is not None and int(length.group(1)) > 0)
        if not carries:
            continue
        if int(destination) in server_ports and not waiting:
            trips, waiting = trips + 1, True
        elif int(source) in server_ports:
            waiting = False
    return trips


def slow_link(delay, ports, inside=lambda command: command):
    """Holds every packet to or from the ports (all, for None) in the network
    namespace; returns the delay's process."""
    held = subprocess.Popen(inside([delay, str(ONE_WAY_MILLISECONDS)]), stdout=subprocess.PIPE,
                            text=True)
    assert held.stdout.readline() == "ready\n"
    for protocol in ("tcp", "udp"):
        match = ["-m", "multiport", "--ports", ",".join(map(str, ports))] if ports else []
        subprocess.run(inside(["iptables-legacy", "-t", "mangle", "-A", "OUTPUT", "-o", "lo",
                               "-p", protocol, *match, "-j", "NFQUEUE", "--queue-num", "0"]),
                       check=True)
    return held


def capture(ports, run):
    """Packets on lo to and from the ports while run() runs, in this network
    namespace."""
    path = f"/tmp/credmend-roundtrips-{os.getpid()}"
    filter_ = " or ".join(f"port {port}" for port in ports)
    tcpdump = subprocess.Popen(["tcpdump", "-i", "lo", "--immediate-mode", "-U", "-Z", "root",
                                "-w", path, filter_], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    try:
        assert "listening on" in tcpdump.stderr.readline()
        result = run()
        time.sleep(0.2)
    finally:
        tcpdump.terminate()
        tcpdump.wait()
    shown = subprocess.run(["tcpdump", "-r", path, "-nn"], capture_output=True, text=True)
    os.remove(path)
    return shown.stdout.splitlines(), result


def active_directory(credmend, delay):
    users = [(f"rt{i}", "Old-pass-1", "") for i in range(8)]
    rows = []
    domain = DomainController(users, dead_dc=False)
    held = slow_link(delay, [53, 88, 464], domain.inside)
    try:
        def change(command, stdin=b""):
            lines, result = domain.capture(lambda: domain.client(command, "", stdin, dns=True))
            assert result.returncode in (0, 86, 1), (command, result)
            return round_trips(lines, {53, 88, 464})
        typed = b"Old-pass-1\nNew-pass-2\nNew-pass-2\n"
        rows.append((f"`credmend {DNS_DOMAIN} alice` (realm from DNS)",
                     change([credmend, DNS_DOMAIN, "rt0", "New-pass-2", "Old-pass-1"]),
                     change(["kpasswd", f"rt1@{REALM}"], typed)))
        rows.append(("same, wrong old password",
                     change([credmend, DNS_DOMAIN, "rt2", "New-pass-2", "Wrong-pass-9"]),
                     change(["kpasswd", f"rt2@{REALM}"], b"Wrong-pass-9\n")))
        rows.append((f"`credmend '\\\\dc1.{DNS_DOMAIN}' alice`",
                     change([credmend, f"\\\\dc1.{DNS_DOMAIN}", "rt3", "New-pass-2",
                             "Old-pass-1"]), None))
        rows.append((f"`credmend '\\\\{DNS_DOMAIN}' alice` (the realm retry)",
                     change([credmend, f"\\\\{DNS_DOMAIN}", "rt4", "New-pass-2", "Old-pass-1"]),
                     None))
    finally:
        held.kill()
        domain.stop()
    return rows


def mit(credmend, delay):
    """The MIT rows, in a network namespace of their own (see main)."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    held = slow_link(delay, None)
    realm = Realm()
    certificates = Path(tempfile.mkdtemp(prefix="credmend-certificates-"))
    make_certificates(certificates)
    proxy = None
    try:
        ports = {realm.kdc_port, realm.kpasswd_port}
        users = iter(f"rt{i}" for i in range(100))

        def change(command, config, stdin=b"", through=ports):
            user = next(users)
            realm.add_user(user, "Old-pass-1", "+requires_preauth")
            env = dict(realm.env, KRB5_CONFIG=config)
            lines, result = capture(through, lambda: subprocess.run(
                [part.replace("USER", user) for part in command], input=stdin, env=env,
                capture_output=True, timeout=60))
            assert result.returncode == 0, result
            return round_trips(lines, through)
        plain = realm.path("krb5.conf")
        tcp_only = realm.path("krb5-tcp.conf")
        Path(tcp_only).write_text(Path(plain).read_text().replace(
            "[libdefaults]\n", "[libdefaults]\n  udp_preference_limit = 1\n"))
        ours = [credmend, MIT_REALM, "USER", "New-pass-2", "Old-pass-1"]
        theirs = ["kpasswd", f"USER@{MIT_REALM}"]
        typed = b"Old-pass-1\nNew-pass-2\nNew-pass-2\n"
        rows = [("MIT realm, static krb5.conf, UDP allowed", change(ours, plain),
                 change(theirs, plain, typed)),
                ("MIT realm, static krb5.conf, TCP only (`udp_preference_limit = 1`)",
                 change(ours, tcp_only), change(theirs, tcp_only, typed))]
        port = free_port()
        servers = certificates / "kdcproxy.conf"
        servers.write_text(f"[global]\nuse_dns = false\n[{MIT_REALM}]\n"
                           f"kerberos = kerberos+tcp://127.0.0.1:{realm.kdc_port}\n"
                           f"kpasswd = kpasswd+tcp://127.0.0.1:{realm.kpasswd_port}\n")
        proxy = subprocess.Popen(["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "..",
                                                                    "tests", "kdc", "proxy.py"),
                                  str(port), certificates / "proxy.pem",
                                  certificates / "proxy.key", servers, "pass"],
                                 stdout=subprocess.PIPE, text=True)
        assert proxy.stdout.readline() == "ready\n"
        url = f"https://localhost:{port}/KdcProxy"
        realm.use_kpasswd_server(url, url, [f"FILE:{certificates}/ca.pem"])
        rows.append(("through a KDC proxy (FreeIPA's, TLS)", change(ours, plain, through={port}),
                     change(theirs, plain, typed, through={port})))
    finally:
        if proxy is not None:
            proxy.kill()
        realm.stop()
        held.kill()
    return rows


def main():
    credmend, delay = sys.argv[1:3]
    if "--mit" in sys.argv:
        print(json.dumps(mit(credmend, delay)))
        return
    rows = active_directory(credmend, delay)
    own = subprocess.run(["unshare", "--net", "/usr/bin/python3", __file__, credmend, delay,
                          "--mit"], capture_output=True, text=True, check=True)
    rows += [tuple(row) for row in json.loads(own.stdout.splitlines()[-1])]
    print("| case | credmend | kpasswd |\n|---|---|---|")
    for name, ours, theirs in rows:
        print(f"| {name} | {ours} | {'n/a' if theirs is None else theirs} |")


main()
