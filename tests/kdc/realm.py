"""A throwaway MIT Kerberos realm on loopback, for tests and the demo.

Everything lives in one temp folder, reached through KRB5_CONFIG and
KRB5_KDC_PROFILE; the KDC and kadmind run in the foreground on unprivileged
ports and are stopped by the process ids started here.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REALM = "CREDMEND.TEST"
CLOSED_REALM = "CLOSED.TEST"
SBIN = "/usr/sbin"


def free_port():
    """A port free for both TCP and UDP on loopback, as far as can be told."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                try:
                    udp.bind(("127.0.0.1", port))
                except OSError:
                    continue
            return port


class Realm:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="credmend-realm-")
        self.kdc_port, self.admin_port, self.kpasswd_port, self.closed_port = (
            free_port(), free_port(), free_port(), free_port())
        self.env = dict(os.environ, KRB5_CONFIG=self.path("krb5.conf"),
                        KRB5_KDC_PROFILE=self.path("kdc.conf"),
                        KRB5CCNAME="FILE:" + self.path("ccache"),
                        KRB5RCACHEDIR=self.dir, KRB5_TRACE="/dev/null")
        self.processes = []
        self.kpasswd_server = f"127.0.0.1:{self.kpasswd_port}"
        self.kdc, self.anchors = f"127.0.0.1:{self.kdc_port}", []
        self.other_realms = {}
        self._write_configuration()
        self._run([f"{SBIN}/kdb5_util", "create", "-s", "-r", REALM, "-P", "master-key"])
        self._start([f"{SBIN}/krb5kdc", "-n", "-r", REALM])
        self._start([f"{SBIN}/kadmind", "-nofork", "-r", REALM])
        self._await_port(self.kdc_port)
        self._await_port(self.kpasswd_port)

    def path(self, name):
        return os.path.join(self.dir, name)

    def _write_configuration(self):
        anchors = "".join(f"    http_anchors = {anchor}\n" for anchor in self.anchors)
        kdcs = "".join(f"    kdc = {kdc}\n" for kdc in
                       ([self.kdc] if isinstance(self.kdc, str) else self.kdc))
        with open(self.path("krb5.conf"), "w") as conf:
            conf.write(f"""[libdefaults]
  default_realm = {REALM}
  dns_lookup_kdc = false
  dns_lookup_realm = false
  dns_canonicalize_hostname = false
  rdns = false
[realms]
  {REALM} = {{
{kdcs}    admin_server = 127.0.0.1:{self.admin_port}
    kpasswd_server = {self.kpasswd_server}
{anchors}  }}
  {CLOSED_REALM} = {{
    kdc = 127.0.0.1:{self.closed_port}
    kpasswd_server = 127.0.0.1:{self.closed_port}
  }}
""")
            for name, port in self.other_realms.items():
                conf.write(f"  {name} = {{\n    kdc = 127.0.0.1:{port}\n"
                           f"    kpasswd_server = 127.0.0.1:{port}\n  }}\n")
        with open(self.path("kdc.conf"), "w") as conf:
            conf.write(f"""[kdcdefaults]
  kdc_ports = {self.kdc_port}
  kdc_tcp_ports = {self.kdc_port}
[realms]
  {REALM} = {{
    database_name = {self.path("principal")}
    key_stash_file = {self.path("stash")}
    acl_file = {self.path("kadm5.acl")}
    kadmind_port = {self.admin_port}
    kpasswd_port = {self.kpasswd_port}
    max_life = 1h
  }}
[logging]
  kdc = FILE:{self.path("kdc.log")}
  admin_server = FILE:{self.path("kadmind.log")}
""")
        with open(self.path("kadm5.acl"), "w") as acl:
            acl.write(f"*/admin@{REALM} *\n")

    def _run(self, command, **options):
        return subprocess.run(command, env=self.env, check=True, capture_output=True,
                              timeout=60, **options)

    def _start(self, command):
        self.processes.append(subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL))

    def _await_port(self, port, address="127.0.0.1"):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError(f"{process.args[0]} ended: see {self.dir}")
            with socket.socket() as probe:
                if probe.connect_ex((address, port)) == 0:
                    return
            time.sleep(0.02)
        raise RuntimeError(f"nothing listens on port {port}: the realm did not come up")

    def kadmin(self, query):
        result = self._run([f"{SBIN}/kadmin.local", "-r", REALM, "-q", query])
        # kadmin.local exits 0 whatever the query did; its complaints say more.
        complaints = [line for line in result.stderr.decode().splitlines()
                      if not line.startswith("No policy specified")]
        if complaints:
            raise RuntimeError(f"kadmin.local {query!r}: {complaints[0]}")
        return result.stdout.decode()

    def add_user(self, name, password, options=""):
        """Adds the user, in place of any user of that name."""
        self._run([f"{SBIN}/kadmin.local", "-r", REALM, "-q", f'delprinc -force "{name}"'])
        self.kadmin(f'addprinc {options} -pw "{password}" "{name}"')

    def add_users(self, names, password):
        """Adds new users, all with the password, in one run of kadmin.local."""
        script = "".join(f'addprinc -pw "{password}" "{name}"\n' for name in names)
        self._run([f"{SBIN}/kadmin.local", "-r", REALM], input=script.encode())

    def kinit(self, name, password):
        """True when the KDC accepts the password for the user."""
        result = subprocess.run(["kinit", "-c", "MEMORY:", f"{name}@{REALM}"],
                                input=(password + "\n").encode(), env=self.env,
                                capture_output=True, timeout=30)
        return result.returncode == 0

    def failed_logons(self, name):
        """The user's failed logons since the last good one, and the time of
        the last that failed (None: never)."""
        shown = self.kadmin(f'getprinc "{name}"')
        count = re.search(r"Failed password attempts: (\d+)", shown).group(1)
        last = re.search(r"Last failed authentication: (.*)", shown).group(1)
        return int(count), None if last == "[never]" else last

    def change_requests(self):
        """How many change requests kadmind has logged."""
        with open(self.path("kadmind.log")) as log:
            return log.read().count("chpw request")

    def await_change_requests(self, quiet=2):
        """Waits until kadmind has logged no change request for quiet seconds:
        it has worked through every request it still held."""
        logged = -1
        while logged != self.change_requests():
            logged = self.change_requests()
            time.sleep(quiet)

    def add_realm(self, name, port):
        """A further realm whose KDC and change server are at the port."""
        self.other_realms[name] = port
        self._write_configuration()

    def use_kpasswd_server(self, address, kdc=None, anchors=()):
        """Sends the realm's password changes elsewhere (None: back to
        kadmind), and its requests for tickets too where kdc is given (a
        list: KDCs in their order); a KDC proxy's URL is trusted with the
        http_anchors given."""
        self.kpasswd_server = address or f"127.0.0.1:{self.kpasswd_port}"
        self.kdc, self.anchors = kdc or f"127.0.0.1:{self.kdc_port}", list(anchors)
        self._write_configuration()

    def start_replica(self, address="127.0.0.2"):
        """A replica KDC at the address with a copy of the database as it is
        now, as kprop leaves one; changes made after it reach only this
        primary. Returns its host:port; its log is replica/kdc.log."""
        replica, port = self.path("replica"), free_port()
        os.mkdir(replica)
        for name in os.listdir(self.dir):
            if name.startswith("principal"):
                shutil.copy(self.path(name), replica)
        with open(os.path.join(replica, "kdc.conf"), "w") as conf:
            conf.write(f"""[kdcdefaults]
  kdc_listen = {address}:{port}
  kdc_tcp_listen = {address}:{port}
[realms]
  {REALM} = {{
    database_name = {replica}/principal
    key_stash_file = {self.path("stash")}
    max_life = 1h
  }}
[logging]
  kdc = FILE:{replica}/kdc.log
""")
        self.processes.append(subprocess.Popen(
            [f"{SBIN}/krb5kdc", "-n", "-r", REALM],
            env=dict(self.env, KRB5_KDC_PROFILE=os.path.join(replica, "kdc.conf")),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self._await_port(port, address)
        return f"{address}:{port}"

    def failed_preauthentications(self, name, log="kdc.log"):
        """How many of the user's logons a KDC's log (a path in the realm's
        folder) shows refused for a wrong password."""
        with open(self.path(log)) as text:
            return text.read().count(f"PREAUTH_FAILED: {name}@{REALM} ")

    def pause_kdc(self):
        self.processes[0].send_signal(signal.SIGSTOP)

    def resume_kdc(self):
        self.processes[0].send_signal(signal.SIGCONT)

    def stop(self):
        for process in self.processes:
            process.send_signal(signal.SIGCONT)
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
