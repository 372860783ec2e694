"""Round trips of one password change, credmend beside MIT kpasswd, counted
from a packet capture: on a slow link each one is felt.

Against a Samba Active Directory DC that serves its own DNS, with a client
that has no Kerberos configuration, and against an MIT realm with a static
configuration. A round trip is each time the client has to wait for a
server: a datagram, a connection opened, a request on it; what it sends at
once (A and AAAA lookups) waits once.

    roundtrips.py CREDMEND [--udp-preference-limit N]
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "kdc"))
from domain import DNS_DOMAIN, REALM, DomainController  # noqa: E402
from realm import REALM as MIT_REALM, Realm  # noqa: E402

PACKET = re.compile(r"IP6? (\S+?)\.(\d+) > (\S+?)\.(\d+): (.*)")


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


def capture_on_host(ports, run):
    """Packets on the machine's lo to and from the ports while run() runs."""
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


def main():
    credmend = sys.argv[1]
    extra = ""
    if "--udp-preference-limit" in sys.argv:
        extra = (f"[libdefaults]\n  udp_preference_limit = "
                 f"{sys.argv[sys.argv.index('--udp-preference-limit') + 1]}\n")
    users = [(f"rt{i}", "Old-pass-1", "") for i in range(8)]
    rows = []
    domain = DomainController(users, dead_dc=False)
    try:
        def change(command, stdin=b""):
            lines, result = domain.capture(lambda: domain.client(command, extra, stdin, dns=True))
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
        domain.stop()

    realm = Realm()
    try:
        realm.add_user("rt5", "Old-pass-1")
        realm.add_user("rt6", "Old-pass-1")
        ports = {realm.kdc_port, realm.kpasswd_port}

        def change_in_realm(command, stdin=b""):
            lines, _ = capture_on_host(ports, lambda: subprocess.run(
                command, input=stdin, env=realm.env, capture_output=True, timeout=60))
            return round_trips(lines, ports)
        rows.append(("MIT realm, static krb5.conf",
                     change_in_realm([credmend, MIT_REALM, "rt5", "New-pass-2", "Old-pass-1"]),
                     change_in_realm(["kpasswd", f"rt6@{MIT_REALM}"],
                                     b"Old-pass-1\nNew-pass-2\nNew-pass-2\n")))
    finally:
        realm.stop()

    print("| case | credmend | kpasswd |\n|---|---|---|")
    for name, ours, theirs in rows:
        print(f"| {name} | {ours} | {'n/a' if theirs is None else theirs} |")


main()
