"""A throwaway Active Directory domain controller (Samba) on loopback.

The DC and every client run in a network namespace of their own that holds
only lo, bound to a file in a temp folder: the DC listens on 88 and 464
there, nothing leaves loopback and nothing clashes with the machine's ports.
The DC serves its domain's DNS at an address of its own, DC_ADDRESS, as
deployed domain controllers do; its zone may also list a dead DC first.
A client also runs in a mount namespace of its own, where the test's hosts
file, resolver configuration and Kerberos configuration are bind-mounted
over /etc/hosts, /etc/resolv.conf and /etc/krb5.conf, as on a machine set up
that way; the machine's own files are never touched. The folder's name is
short: Samba puts sockets under it.
"""
import os
import shutil
import subprocess
import tempfile
import time

REALM = "AD.CREDMEND.TEST"
DNS_DOMAIN = "ad.credmend.test"
NETBIOS_DOMAIN = "ADCRED"
ADMIN_PASSWORD = "Admin-pass-1"
# The domain's own DNS name resolves to its domain controller, as in Active
# Directory.
HOSTS = (f"127.0.0.1 localhost\n127.0.0.1 dc1.{DNS_DOMAIN} dc1\n127.0.0.1 {DNS_DOMAIN}\n"
         "127.0.0.1 dc9.other.test\n")
# Where the DC's own DNS says it is, and where a dead DC would be: nothing
# listens there, so a connection is refused at once.
DC_ADDRESS, DEAD_ADDRESS = "127.0.0.2", "127.0.0.3"

# A further user principal name suffix of the forest, as e-mail addresses
# often are.
UPN_SUFFIX = "example.org"

# Accounts, through Samba's own bindings in one process, under the domain's
# policy (complexity on, Samba's minimum length and history) with a minimum
# age of 0, so a password can be changed right after it was set, and a
# lockout after 3 failed logons, so that failed logons are counted. A state
# with "@" is the account's user principal name. Given its address, a dead
# DC, weighted above the live one, is the first target of every SRV record.
SETUP = """
import sys, ldb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=sys.argv[2], session_info=system_session(), lp=lp)
def change(dn, name, value, flag=ldb.FLAG_MOD_REPLACE):
    message = ldb.Message(ldb.Dn(db, dn))
    message[name] = ldb.MessageElement(value, flag, name)
    db.modify(message)
change(db.domain_dn(), "minPwdAge", "0")
change(db.domain_dn(), "lockoutThreshold", "3")
change("CN=Partitions," + str(db.get_config_basedn()), "uPNSuffixes", sys.argv[3],
       ldb.FLAG_MOD_ADD)
from samba.ndr import ndr_pack
from samba.provision.sambadns import ARecord, SRVRecord
zone = f"CN=MicrosoftDNS,DC=DomainDnsZones,{db.domain_dn()}"
zone = f"DC={db.domain_dns_name()},{zone}"
if sys.argv[4]:
    dead = ldb.Message(ldb.Dn(db, f"DC=dead,{zone}"))
    dead["objectClass"] = ["top", "dnsNode"]
    dead["dnsRecord"] = ldb.MessageElement(ndr_pack(ARecord(sys.argv[4])), ldb.FLAG_MOD_ADD,
                                           "dnsRecord")
    db.add(dead)
    for service, port in (("_kerberos._tcp", 88), ("_kerberos._udp", 88),
                          ("_kpasswd._tcp", 464), ("_kpasswd._udp", 464)):
        record = SRVRecord(f"dead.{db.domain_dns_name()}", port, weight=200)
        change(f"DC={service},{zone}", "dnsRecord", ndr_pack(record), ldb.FLAG_MOD_ADD)
for user in sys.argv[5:]:
    name, password, state = user.split(":")
    db.newuser(name, password)
    if state == "disabled":
        db.disable_account(f"(sAMAccountName={name})")
    elif state == "expired":
        db.setexpiry(f"(sAMAccountName={name})", -86400)
    elif "@" in state:
        change(str(db.search(expression=f"(sAMAccountName={name})")[0].dn),
               "userPrincipalName", state)
"""

# A user's failed logons since the last good one, and when the last failed.
BAD_LOGONS = """
import sys
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=sys.argv[2], session_info=system_session(), lp=lp)
user = db.search(expression=f"(sAMAccountName={sys.argv[3]})",
                 attrs=["badPwdCount", "badPasswordTime"])[0]
print(int(user.get("badPwdCount", [0])[0]), int(user.get("badPasswordTime", [0])[0]))
"""


class DomainController:
    def __init__(self, users, dead_dc=True):
        """users: (name, password, state), state "", "disabled", "expired" or
        a user principal name. dead_dc: the zone lists a dead DC first."""
        self.dir = tempfile.mkdtemp(prefix="cm-ad-")
        self.netns, self.samba = os.path.join(self.dir, "netns"), None
        self.conf = os.path.join(self.dir, "etc", "smb.conf")
        os.makedirs(os.path.dirname(self.conf))
        for name, text in (("netns", ""), ("etc/smb.conf", ""), ("hosts", HOSTS),
                           ("dns-hosts", "127.0.0.1 localhost\n"),
                           ("resolv.conf", f"nameserver {DC_ADDRESS}\n")):
            with open(os.path.join(self.dir, name), "w") as file:
                file.write(text)
        try:
            run = dict(check=True, capture_output=True, timeout=120)
            subprocess.run(["unshare", f"--net={self.netns}", "ip", "link", "set", "lo", "up"], **run)
            subprocess.run(self.inside(["ip", "address", "add", f"{DC_ADDRESS}/8", "dev", "lo"]),
                           **run)
            # The empty smb.conf is the DC's own: the machine's is never read.
            subprocess.run(self.inside([
                "samba-tool", "domain", "provision", f"--targetdir={self.dir}", "-s", self.conf,
                f"--realm={REALM}", f"--domain={NETBIOS_DOMAIN}", "--server-role=dc",
                "--host-name=dc1", "--dns-backend=SAMBA_INTERNAL", f"--host-ip={DC_ADDRESS}",
                f"--adminpass={ADMIN_PASSWORD}",
                "--option=dns update command = /bin/true", "--option=interfaces = lo",
                "--option=bind interfaces only = yes", "--option=disable netbios = yes",
                f"--option=pid directory = {self.dir}"]), **run)
            subprocess.run(["/usr/bin/python3", "-c", SETUP, self.conf,
                            os.path.join(self.dir, "private", "sam.ldb"), UPN_SUFFIX,
                            DEAD_ADDRESS if dead_dc else ""]
                           + [":".join(user) for user in users], **run)
            self.samba = subprocess.Popen(
                self.inside(["samba", "-F", "-M", "single", "-s", self.conf,
                             "--option=server services=kdc dns"]),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while not self.kinit("Administrator", ADMIN_PASSWORD):
                if self.samba.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the domain controller did not come up")
                time.sleep(0.05)
        except BaseException:
            self.stop()
            raise

    def inside(self, command):
        return ["nsenter", f"--net={self.netns}"] + command

    def client(self, command, configuration, stdin=b"", dns=False):
        """Runs a client as on a machine whose /etc/krb5.conf is the text;
        with dns, one whose hosts file knows nothing of the domain and whose
        resolver is the DC's DNS."""
        return self.clients([command], configuration, stdin, dns)[0]

    def clients(self, commands, configuration, stdin=b"", dns=False):
        """Runs clients as client() runs one, all at once."""
        path = os.path.join(self.dir, "krb5.conf")
        with open(path, "w") as file:
            file.write(configuration)
        env = dict(os.environ, KRB5CCNAME="MEMORY:client")
        env.pop("KRB5_CONFIG", None)
        mounts = ('mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/krb5.conf'
                  ' && { [ -z "$3" ] || mount --bind "$3" /etc/resolv.conf; }'
                  ' && shift 3 && exec "$@"')
        files = [os.path.join(self.dir, "dns-hosts" if dns else "hosts"), path,
                 os.path.join(self.dir, "resolv.conf") if dns else ""]
        started = [subprocess.Popen(self.inside(["unshare", "--mount", "sh", "-c", mounts, "sh",
                                                 *files, *command]),
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=env)
                   for command in commands]
        results = []
        for process in started:
            out, err = process.communicate(stdin, timeout=120)
            results.append(subprocess.CompletedProcess(process.args, process.returncode, out, err))
        return results

    def capture(self, run):
        """The packets on lo while run() runs, as tcpdump shows them, and what
        run() returned."""
        packets = os.path.join(self.dir, "packets")
        tcpdump = subprocess.Popen(self.inside(["tcpdump", "-i", "lo", "--immediate-mode", "-U",
                                                "-Z", "root", "-w", packets]),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            assert "listening on" in tcpdump.stderr.readline()
            result = run()
            time.sleep(0.2)  # for the last packets to be written
        finally:
            tcpdump.terminate()
            tcpdump.wait()
        shown = subprocess.run(["tcpdump", "-r", packets, "-nn"], capture_output=True, text=True)
        return shown.stdout.splitlines(), result

    def kinit(self, name, password):
        """True when the DC accepts the password for the user."""
        result = self.client(["kinit", f"{name}@{REALM}"],
                             f"[realms]\n  {REALM} = {{\n    kdc = 127.0.0.1\n  }}\n",
                             stdin=(password + "\n").encode())
        return result.returncode == 0

    def bad_logons(self, name):
        """The user's failed logons since the last good one, and the time of
        the last that failed (0: never), as the DC counts them."""
        shown = subprocess.run(["/usr/bin/python3", "-c", BAD_LOGONS, self.conf,
                                os.path.join(self.dir, "private", "sam.ldb"), name],
                               check=True, capture_output=True, text=True, timeout=60)
        count, last = shown.stdout.split()
        return int(count), int(last)

    def stop(self):
        if self.samba is not None:
            self.samba.terminate()
            try:
                self.samba.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.samba.kill()
                self.samba.wait()
        subprocess.run(["umount", self.netns], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)
