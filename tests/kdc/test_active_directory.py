"""Real password changes against a throwaway Active Directory domain
controller (Samba), addressed the way Windows administrators address it."""
import re

import pytest

from domain import (DC_ADDRESS, DEAD_ADDRESS, DNS_DOMAIN, NETBIOS_DOMAIN, REALM, UPN_SUFFIX,
                    DomainController)
from test_hostile_servers import LOST, TRUE_OF

CHANGED = (b"The password has been changed.\n", 0)
REVOKED = (b"The account is disabled, expired or locked out.\n", 255)
UNKNOWN_REALM = (b"The realm is not known, or no default realm is configured.\n", 255)
REFUSED = b"The password is shorter than required.\nThe server says: "

# The configurations a client machine may have, as its /etc/krb5.conf.
LISTED = (f"[realms]\n  {REALM} = {{\n    kdc = dc1.{DNS_DOMAIN}\n"
          f"    kpasswd_server = dc1.{DNS_DOMAIN}\n  }}\n")
CONFIGURATIONS = {
    "none": "",
    "listed": LISTED,
    "listed, the default": f"[libdefaults]\n  default_realm = {REALM}\n" + LISTED,
    "dead": f"[libdefaults]\n  dns_lookup_kdc = false\n[realms]\n  {REALM} = {{\n"
            f"    kdc = 127.0.0.1:1\n    kpasswd_server = 127.0.0.1:1\n  }}\n",
    "default realm only": f"[libdefaults]\n  default_realm = {REALM}\n",
    "mapped": f"[domain_realm]\n  dc9.other.test = {REALM}\n",
    # Every domain controller serves the change where its KDC is.
    "kdc only": f"[realms]\n  {REALM} = {{\n    kdc = 127.0.0.1\n  }}\n",
    "admin server only": f"[realms]\n  {REALM} = {{\n    kdc = 127.0.0.1\n"
                         f"    admin_server = 127.0.0.1:749\n  }}\n",
    # None, and the domain known only to the DC's own DNS, which lists a dead
    # DC first.
    "DNS only": "",
}

# Each case: configuration, server, user as typed, the account (created with
# OLD in the state given; None: none), old and new password, report, and the
# password the DC accepts for the account afterwards.
OLD = "Old-pass-1"
NEW = "New-pass-2"
CASES = {
    "a change through the domain's DNS name":
        ("listed", DNS_DOMAIN, "alice", ("alice", ""), OLD, NEW, CHANGED, NEW),
    "user@domain, the user's principal name":
        ("listed", DNS_DOMAIN, f"carol@{DNS_DOMAIN}", ("carol", ""), OLD, NEW, CHANGED, NEW),
    "a user principal name with the forest's other suffix":
        ("listed", DNS_DOMAIN, f"quinn.q@{UPN_SUFFIX}", ("quinn", f"quinn.q@{UPN_SUFFIX}"), OLD,
         NEW, CHANGED, NEW),
    "a user principal name other than the account name":
        ("listed", DNS_DOMAIN, f"rose.smith@{DNS_DOMAIN}", ("rsmith", f"rose.smith@{DNS_DOMAIN}"),
         OLD, NEW, CHANGED, NEW),
    "a user principal name through \\\\the domain's DNS name":
        ("none", f"\\\\{DNS_DOMAIN}", f"tess.t@{UPN_SUFFIX}", ("tess", f"tess.t@{UPN_SUFFIX}"), OLD,
         NEW, CHANGED, NEW),
    "an unknown user principal name":
        ("listed", DNS_DOMAIN, f"no.one@{UPN_SUFFIX}", None, OLD, NEW,
         (b"Err: The user name could not be found.\n", 39), None),
    "a wrong old password through the user principal name":
        ("listed", DNS_DOMAIN, f"sam.wise@{UPN_SUFFIX}", ("swise", f"sam.wise@{UPN_SUFFIX}"),
         "Wrong-pass-9", NEW, (b"The old password is not correct.\n", 86), OLD),
    "DOMAIN\\user is no user name":
        ("listed", DNS_DOMAIN, f"{NETBIOS_DOMAIN}\\lee", ("lee", ""), OLD, NEW,
         (b"Err: The user name could not be found.\n", 39), OLD),
    "an unknown user":
        ("listed", DNS_DOMAIN, "nobody", None, OLD, NEW,
         (b"Err: The user name could not be found.\n", 39), None),
    "a wrong old password":
        ("listed", DNS_DOMAIN, "bob", ("bob", ""), "Wrong-pass-9", NEW,
         (b"The old password is not correct.\n", 86), OLD),
    "a password the policy refuses":
        ("listed", DNS_DOMAIN, "dave", ("dave", ""), OLD, "short",
         (REFUSED + b"Password too short, password must be at least 7 characters long.\n", 39),
         OLD),
    "a password too simple for the domain":
        ("listed", DNS_DOMAIN, "dora", ("dora", ""), OLD, "alllowercaseletters",
         (REFUSED + b"Password does not meet complexity requirements\n", 39), OLD),
    "a disabled account": ("listed", DNS_DOMAIN, "erin", ("erin", "disabled"), OLD, NEW, REVOKED,
                           None),
    "an expired account": ("listed", DNS_DOMAIN, "fay", ("fay", "expired"), OLD, NEW, REVOKED, None),
    "\\\\dc1.domain with no Kerberos configuration at all":
        ("none", f"\\\\dc1.{DNS_DOMAIN}", "gina", ("gina", ""), OLD, NEW, CHANGED, NEW),
    "\\\\dc1.domain where the configured KDC is dead":
        ("dead", f"\\\\dc1.{DNS_DOMAIN}", "hank", ("hank", ""), OLD, NEW, CHANGED, NEW),
    "\\\\dc1 in the default realm":
        ("default realm only", "\\\\dc1", "ivan", ("ivan", ""), OLD, NEW, CHANGED, NEW),
    "\\\\host whose realm the configuration names":
        ("mapped", "\\\\dc9.other.test", "judy", ("judy", ""), OLD, NEW, CHANGED, NEW),
    "\\\\the domain's DNS name with no Kerberos configuration at all":
        ("none", f"\\\\{DNS_DOMAIN}", "lena", ("lena", ""), OLD, NEW, CHANGED, NEW),
    "an unknown user through \\\\the domain's DNS name":
        ("none", f"\\\\{DNS_DOMAIN}", "nobody", None, OLD, NEW,
         (b"Err: The user name could not be found.\n", 39), None),
    "the default realm's first label is that realm":
        ("listed, the default", DNS_DOMAIN.split(".")[0], "mona", ("mona", ""), OLD, NEW,
         CHANGED, NEW),
    "a realm whose configuration names only its KDC":
        ("kdc only", REALM, "olga", ("olga", ""), OLD, NEW, CHANGED, NEW),
    "the admin server on the change service's port":
        ("admin server only", REALM, "pia", ("pia", ""), OLD, NEW, CHANGED, NEW),
    "the realm's servers found through DNS":
        ("DNS only", DNS_DOMAIN, "vera", ("vera", ""), OLD, NEW, CHANGED, NEW),
    "a wrong old password, servers found through DNS":
        ("DNS only", DNS_DOMAIN, "yuri", ("yuri", ""), "Wrong-pass-9", NEW,
         (b"The old password is not correct.\n", 86), OLD),
    "\\\\dc1 found through DNS":
        ("DNS only", f"\\\\dc1.{DNS_DOMAIN}", "walt", ("walt", ""), OLD, NEW, CHANGED, NEW),
    "\\\\the domain found through DNS":
        ("DNS only", f"\\\\{DNS_DOMAIN}", "xena", ("xena", ""), OLD, NEW, CHANGED, NEW),
    "a realm that DNS does not know":
        ("DNS only", "nowhere.credmend.test", "zed", None, OLD, NEW, UNKNOWN_REALM, None),
    "\\\\a host that DNS does not know":
        ("DNS only", f"\\\\nohost.{DNS_DOMAIN}", "zed", None, OLD, NEW,
         (b"No Kerberos server of the realm could be reached; the password is unchanged.\n", 53),
         None),
    "a NetBIOS domain name is no realm":
        ("listed, the default", NETBIOS_DOMAIN, "kim", ("kim", ""), OLD, NEW, UNKNOWN_REALM,
         OLD),
}


# Through the domain's KDC proxy (proxy.py) in the DC's namespace, as remote
# users reach it, tickets and the change alike: the account, the new
# password, the report, the password the DC takes afterwards, and the change
# requests the proxy was sent.
PROXIED = {
    "a change through the domain's KDC proxy": ("nora", NEW, CHANGED, NEW, 1),
    "a password the policy refuses, through the proxy":
        ("nina", "short",
         (REFUSED + b"Password too short, password must be at least 7 characters long.\n", 39),
         OLD, 1),
}


BUSY_ACCOUNTS = [f"busy{index}" for index in range(100)]


@pytest.fixture(scope="module")
def domain():
    accounts = [case[3] for case in CASES.values() if case[3] is not None]
    accounts += [(case[0], "") for case in PROXIED.values()]
    accounts += [(f"lost{index}", "") for index in range(len(LOST))] + [("ada", ""), ("abe", "")]
    accounts += [(name, "") for name in BUSY_ACCOUNTS]
    domain = DomainController([(name, OLD, state) for name, state in accounts])
    yield domain
    domain.stop()


@pytest.mark.parametrize("name", CASES)
def test_active_directory(exe, domain, name):
    configuration, server, user, account, old, new, report, accepted = CASES[name]
    result = domain.client([*exe, server, user, new, old], CONFIGURATIONS[configuration],
                           dns=configuration == "DNS only")
    assert (result.stdout, result.returncode, result.stderr) == (*report, b"")
    if accepted is not None:
        assert domain.kinit(account[0], accepted)


@pytest.mark.parametrize("name", PROXIED)
def test_a_change_through_the_domains_kdc_proxy(exe, domain, proxy, certificates, name):
    account, new, report, accepted, changes = PROXIED[name]
    url, sent = proxy(f"[global]\nuse_dns = false\n[{REALM}]\n"
                      "kerberos = kerberos+tcp://127.0.0.1:88\n"
                      "kpasswd = kpasswd+tcp://127.0.0.1:464\n", inside=domain.inside)
    result = domain.client([*exe, REALM, account, new, OLD],
                           f"[realms]\n  {REALM} = {{\n    kdc = {url}\n"
                           f"    kpasswd_server = {url}\n"
                           f"    http_anchors = FILE:{certificates}/ca.pem\n  }}\n")
    assert (result.stdout, result.returncode, result.stderr) == (*report, b"")
    assert sent().count("kpasswd") == changes
    assert domain.kinit(account, accepted)


@pytest.mark.parametrize("index, name", enumerate(LOST), ids=list(LOST))
def test_a_lost_answer_from_the_domain_controller_by_the_deadline(deadline_exe, domain, relay,
                                                                   index, name):
    # Samba counts a wrong password through Kerberos even where it is one of
    # the account's two before: nothing is forgiven.
    tcp, udp, report, accepted, copies, failed = LOST[name]
    port, passed_on = relay(464, tcp, udp, domain.inside)
    result = domain.client([*deadline_exe, REALM, f"lost{index}", NEW, OLD],
                           f"[libdefaults]\n  dns_lookup_kdc = false\n[realms]\n  {REALM} = {{\n"
                           f"    kdc = 127.0.0.1\n    kpasswd_server = 127.0.0.1:{port}\n  }}\n")
    assert (result.stdout, result.returncode) == report
    assert len(passed_on(copies)) == copies
    failures, last_failure = domain.bad_logons(f"lost{index}")
    assert (failures, last_failure != 0) == (0, failed)
    assert domain.kinit(f"lost{index}", accepted)


def test_changes_at_once_by_the_deadline_are_each_reported_truly(request, deadline_exe, domain):
    # The DC is one process: many changes wait for it, and some for the KDC.
    if request.config.option.sanitized:
        pytest.skip("a hundred sanitized processes at once are more than the machine holds")
    results = domain.clients([[*deadline_exe, REALM, name, NEW, OLD] for name in BUSY_ACCOUNTS],
                             f"[libdefaults]\n  dns_lookup_kdc = false\n[realms]\n  {REALM} = {{\n"
                             f"    kdc = 127.0.0.1\n    kpasswd_server = 127.0.0.1\n  }}\n")
    for name, result in zip(BUSY_ACCOUNTS, results):
        report = (result.stdout, result.returncode)
        accepted = {password for password in (OLD, NEW) if domain.kinit(name, password)}
        assert len(accepted) == 1 and accepted <= TRUE_OF.get(report, set()), (name, report)


def test_a_change_through_dns_asks_each_name_once_and_fails_over(exe, domain):
    packets, result = domain.capture(lambda: domain.client([*exe, DNS_DOMAIN, "ada", NEW, OLD], "",
                                                           dns=True))
    assert (result.stdout, result.returncode) == CHANGED
    queries = [match.groups() for match in
               (re.search(r" > [0-9.]+\.53: \d+\+?%? (\w+)\? (\S+) ", line) for line in packets)
               if match]
    # The realm's URI and SRV records at once (the KDCs', the primaries' and
    # the change servers'), then each DC's A and AAAA.
    assert len(queries) == len(set(queries)) and len(queries) <= 12, queries
    # The dead DC, listed first, is asked first, for the ticket and for the
    # change; then the live one.
    for port in (88, 464):
        asked = [address for address in re.findall(rf" > ([0-9.]+)\.{port}: ", "\n".join(packets))]
        assert asked[0] == DEAD_ADDRESS and DC_ADDRESS in asked, (port, asked)


def test_a_wrong_old_password_reaches_one_kdc_once_and_the_change_port_nothing(exe, domain):
    packets, result = domain.capture(lambda: domain.client(
        [*exe, DNS_DOMAIN, "abe", NEW, "Wrong-pass-9"], "", dns=True))
    assert (result.stdout, result.returncode) == (b"The old password is not correct.\n", 86)

    def carried(port):
        """Each packet to the port that carried a message: its address, and TCP or UDP."""
        sent = [re.search(rf" > ([0-9.]+)\.{port}: (.*)", line) for line in packets]
        return [(each.group(1), "tcp" if "Flags" in each.group(2) else "udp") for each in sent
                if each and not each.group(2).endswith("length 0")]
    # The first request to the dead DC, then the live one; the one with the
    # password over the connection opened meanwhile. The change server's
    # connection, opened as early, is closed with nothing sent.
    assert carried(88) == [(DEAD_ADDRESS, "udp"), (DC_ADDRESS, "udp"), (DC_ADDRESS, "tcp")]
    assert carried(464) == [] and any(".464: Flags [S]" in line for line in packets)
    assert domain.bad_logons("abe")[0] == 1
