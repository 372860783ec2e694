"""Kerberos configurations that people run, each tried as a new user would:
credmend beside MIT's kpasswd on the same krb5.conf, and kinit as the truth
afterwards. Where a row needs files of its own (sssd's locator plugin, a
resolver that serves the realm's URI records), both run in a mount
namespace of the test's own, so nothing else on the machine sees them."""
import glob
import os
import subprocess

import pytest

from realm import REALM
from test_hostile_servers import NEW, OLD
from test_kerberos import CHANGED

OLDER = "Older-pass-0"
WRONG_OLD = (b"The old password is not correct.\n", 86)
DNS_ADDRESS = "127.0.0.53"
SSSD = "/var/cache/credmend/sssd"

# Each row: the configuration (CONFIGURATIONS), the accounts (made before
# the replica's copy, reset on the primary after it, or made after it), the
# server argument, and whether the user is typed as user@REALM.
ROWS = {
    "a replica that a password reset has not reached": ("replica", "reset", REALM, False),
    "a replica that does not know a new account": ("replica", "new", REALM, False),
    "TCP only": ("tcp only", "made", REALM, False),
    "sssd's locator plugin, no KDC in krb5.conf": ("sssd", "made", REALM, False),
    "URI records only": ("uri", "made", REALM, False),
    "user@REALM where no default realm is configured": ("no default realm", "made", "", True),
}


def uri_record(name, priority, target):
    """dnsmasq's --dns-rr for a URI record (RFC 7553)."""
    data = priority.to_bytes(2, "big") + (1).to_bytes(2, "big") + target.encode()
    return f"--dns-rr={name}.{REALM},256,{data.hex()}"


@pytest.fixture(scope="module")
def machine(realm, tmp_path_factory):
    """The realm with a stale replica, sssd's plugin and kdcinfo files, and a
    DNS server with the realm's URI records: for each configuration, its
    krb5.conf and the folders its clients see over the machine's."""
    accounts = [f"{tool}-{index}" for index in range(len(ROWS)) for tool in ("cm", "kp")]
    kinds = {f"{tool}-{index}": row[1] for index, row in enumerate(ROWS.values())
             for tool in ("cm", "kp")}
    for name in accounts:
        if kinds[name] != "new":
            realm.add_user(name, OLDER if kinds[name] == "reset" else OLD)
    for name in ("cm-wrong", "kp-wrong"):
        realm.add_user(name, OLD, "+requires_preauth")
    replica = realm.start_replica()
    for name in accounts:
        if kinds[name] in ("reset", "new"):
            realm.add_user(name, OLD)
    kdc, kpasswd = realm.kdc, realm.kpasswd_server
    folder = tmp_path_factory.mktemp("machine")
    # libkrb5's plugin folder, beside the libkrb5 that is loaded.
    libkrb5 = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
    library = next(line.split(" => ")[1] for line in libkrb5.splitlines()
                   if "libkrb5.so.3 " in line)
    plugins = os.path.join(os.path.dirname(os.path.realpath(library)), "krb5", "plugins")
    (folder / "plugins" / "libkrb5").mkdir(parents=True)
    os.symlink(glob.glob(f"{SSSD}/usr/lib/*/krb5/plugins/libkrb5/sssd_krb5_locator_plugin.so")[0],
               folder / "plugins" / "libkrb5" / "sssd_krb5_locator_plugin.so")
    (folder / "lib" / "sss" / "pubconf").mkdir(parents=True)
    (folder / "lib" / "sss" / "pubconf" / f"kdcinfo.{REALM}").write_text(kdc + "\n")
    (folder / "lib" / "sss" / "pubconf" / f"kpasswdinfo.{REALM}").write_text(kpasswd + "\n")
    (folder / "resolv.conf").write_text(f"nameserver {DNS_ADDRESS}\n")
    dns = subprocess.Popen(
        ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
         "--bind-interfaces", f"--listen-address={DNS_ADDRESS}", "--port=53", "--user=root",
         "--pid-file=", uri_record("_kerberos", 0, f"krb5srv:m:udp:{kdc}"),
         uri_record("_kerberos", 1, f"krb5srv:m:tcp:{kdc}"),
         uri_record("_kpasswd", 0, f"krb5srv::tcp:{kpasswd}")],
        stderr=subprocess.DEVNULL)
    base = f"[libdefaults]\n  dns_lookup_realm = false\n  rdns = false\n"
    default = base + f"  default_realm = {REALM}\n"
    listed = f"[realms]\n  {REALM} = {{\n    kdc = {kdc}\n    kpasswd_server = {kpasswd}\n  }}\n"
    configurations = {
        "replica": (default + "  dns_lookup_kdc = false\n" + f"[realms]\n  {REALM} = {{\n"
                    f"    kdc = {replica}\n    primary_kdc = {kdc}\n"
                    f"    kpasswd_server = {kpasswd}\n  }}\n", []),
        "tcp only": (default + "  udp_preference_limit = 1\n" + listed, []),
        "sssd": (default + "  dns_lookup_kdc = false\n",
                 [(plugins, folder / "plugins"), ("/var/lib", folder / "lib")]),
        "uri": (default + "  dns_lookup_kdc = true\n",
                [("/etc/resolv.conf", folder / "resolv.conf")]),
        "no default realm": (base + "  dns_lookup_kdc = false\n" + listed, []),
    }
    yield folder, configurations, replica
    dns.terminate()
    dns.wait()


def run(machine, configuration, command, stdin=b""):
    """The command as a client of the configuration, in a mount namespace
    where its folders are laid over the machine's, or its files bound over
    them."""
    folder, configurations, _ = machine
    text, mounts = configurations[configuration]
    conf = folder / f"krb5-{configuration.replace(' ', '-')}.conf"
    conf.write_text(text)
    script = ""
    for index, (target, source) in enumerate(mounts):
        if os.path.isdir(source):
            work = folder / "work" / configuration / str(index)
            os.makedirs(work / "upper", exist_ok=True)
            os.makedirs(work / "work", exist_ok=True)
            subprocess.run(["cp", "-rL", f"{source}/.", work / "upper"], check=True)
            script += (f"mount -t overlay overlay -o lowerdir={target},upperdir={work}/upper,"
                       f"workdir={work}/work {target} && ")
        else:
            script += f"mount --bind {source} {target} && "
    env = dict(os.environ, KRB5_CONFIG=str(conf), KRB5CCNAME="MEMORY:", KRB5_TRACE="/dev/null")
    result = subprocess.run(["unshare", "--mount", "sh", "-c", script + 'exec "$@"', "sh",
                             *command], input=stdin, env=env, capture_output=True, timeout=60)
    return result


@pytest.mark.parametrize("index, name", enumerate(ROWS), ids=list(ROWS))
def test_credmend_changes_wherever_kpasswd_does(exe, realm, machine, index, name):
    configuration, _, server, with_realm = ROWS[name]
    user = f"cm-{index}" + (f"@{REALM}" if with_realm else "")
    ours = run(machine, configuration, [*exe, server, user, NEW, OLD])
    theirs = run(machine, configuration, ["kpasswd", f"kp-{index}@{REALM}"],
                 f"{OLD}\n{NEW}\n{NEW}\n".encode())
    assert theirs.returncode == 0, theirs.stderr
    assert (ours.stdout, ours.returncode, ours.stderr) == (*CHANGED, b"")
    for name in (f"cm-{index}", f"kp-{index}"):
        assert realm.kinit(name, NEW) and not realm.kinit(name, OLD)


def test_a_wrong_old_password_costs_a_failed_logon_at_the_replica_and_the_primary(
        exe, realm, machine):
    # Each KDC counts its own; kpasswd costs the same.
    ours = run(machine, "replica", [*exe, REALM, "cm-wrong", NEW, "Wrong-pass-9"])
    theirs = run(machine, "replica", ["kpasswd", f"kp-wrong@{REALM}"], b"Wrong-pass-9\n")
    assert (ours.stdout, ours.returncode) == WRONG_OLD and theirs.returncode != 0
    for name in ("cm-wrong", "kp-wrong"):
        assert (realm.failed_preauthentications(name, "replica/kdc.log"),
                realm.failed_preauthentications(name)) == (1, 1), name
        assert realm.kinit(name, OLD)
