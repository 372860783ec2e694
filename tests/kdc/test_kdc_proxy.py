"""Password changes through a KDC proxy over HTTPS (MS-KKDCP): FreeIPA's
kdcproxy on loopback (proxy.py) in front of the MIT realm's KDC and kadmind."""
import pytest

from realm import REALM
from test_hostile_servers import NEW, OLD
from test_kerberos import CHANGED, credmend

UNVERIFIED = (b"The password change server could not be verified; the password is unchanged.\n",
              65)
WRONG_OLD = (b"The old password is not correct.\n", 86)
USED_BEFORE = (b"The password is shorter than required.\nThe server says: New password was used"
               b" previously. Please choose a different password.\n", 39)

# Each case: the proxy's mode and certificate, whether tickets too come
# through it (else from the KDC directly), the realm's http_anchors in the
# certificates' folder, the old and new password, the report, the password
# the KDC takes afterwards, and the change requests the proxy was sent.
CASES = {
    "a change, the ticket through the proxy too":
        ("pass", "proxy", True, ["FILE:ca.pem"], OLD, NEW, CHANGED, NEW, 1),
    "a change, the KDC reached directly":
        ("pass", "proxy", False, ["FILE:ca.pem"], OLD, NEW, CHANGED, NEW, 1),
    "anchors in a folder, and one that is not the proxy's":
        ("pass", "proxy", False, ["FILE:other-ca.pem", "DIR:."], OLD, NEW, CHANGED, NEW, 1),
    "a refusal with the server's reason":
        ("pass", "proxy", True, ["FILE:ca.pem"], OLD, OLD, USED_BEFORE, OLD, 1),
    "a wrong old password":
        ("pass", "proxy", True, ["FILE:ca.pem"], "Wrong-pass-9", NEW, WRONG_OLD, OLD, 0),
    "a certificate from another CA":
        ("pass", "stranger", False, ["FILE:ca.pem"], OLD, NEW, UNVERIFIED, OLD, 0),
    "a certificate for another name":
        ("pass", "other-name", False, ["FILE:ca.pem"], OLD, NEW, UNVERIFIED, OLD, 0),
    "no http_anchors, and a CA the system does not know":
        ("pass", "proxy", False, [], OLD, NEW, UNVERIFIED, OLD, 0),
    # The proxy took the request, so no answer says nothing; the KDC says
    # which password is in force.
    "an HTTP 502 after the request went on":
        ("502", "proxy", False, ["FILE:ca.pem"], OLD, NEW, CHANGED, NEW, 1),
    "the answer cut after the request went on":
        ("cut", "proxy", True, ["FILE:ca.pem"], OLD, NEW, CHANGED, NEW, 1),
}


@pytest.fixture(scope="module")
def history_policy(realm):
    realm.kadmin("addpol -history 3 history")


@pytest.mark.parametrize("name", CASES)
def test_a_change_through_a_kdc_proxy(deadline_exe, realm, proxy, certificates, history_policy,
                                      name):
    mode, certificate, tickets_too, anchors, old, new, report, accepted, changes = CASES[name]
    realm.add_user("nell", OLD, "-policy history +requires_preauth")
    url, sent = proxy(f"[global]\nuse_dns = false\n[{REALM}]\n"
                      f"kerberos = kerberos+tcp://127.0.0.1:{realm.kdc_port}\n"
                      f"kpasswd = kpasswd+tcp://127.0.0.1:{realm.kpasswd_port}\n",
                      mode, certificate)
    logged = realm.change_requests()
    realm.use_kpasswd_server(url, url if tickets_too else None,
                             [anchor.replace(":", f":{certificates}/", 1) for anchor in anchors])
    try:
        assert credmend(deadline_exe, realm, REALM, "nell", new, old) == report
    finally:
        realm.use_kpasswd_server(None)
    said = sent()
    assert (said.count("kpasswd"), realm.change_requests() - logged) == (changes, changes)
    # Every message, the ticket's two and the change, over one connection
    # that the proxy keeps open.
    if mode == "pass":
        assert said.count("tls") == (1 if tickets_too else changes), said
    assert realm.kinit("nell", accepted)
