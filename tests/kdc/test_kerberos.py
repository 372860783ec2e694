"""Real password changes against a throwaway MIT realm on loopback."""
import gettext
import os
import subprocess
import sys
import time

import pytest

from realm import REALM

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "process"))
from runner import built_locales  # noqa: E402
from test_hostile import NEW, OLD, memory_after, secrets_in  # noqa: E402

CHANGED = (b"The password has been changed.\n", 0)


def credmend(exe, realm, *args, stdin=b""):
    result = subprocess.run([*exe, *args], input=stdin, env=realm.env, capture_output=True,
                            timeout=60)
    assert result.stderr == b""
    return result.stdout, result.returncode


# A name with "@" is one name component, found as typed.
@pytest.mark.parametrize("user, principal", [("alice", "alice"),
                                             ("mail@example.org", "mail\\@example.org")])
def test_changes_the_password(exe, realm, user, principal):
    realm.add_user(principal, "Old-pass-1")
    assert credmend(exe, realm, "credmend.test", user, "New-pass-2", "Old-pass-1") == CHANGED
    assert realm.kinit(principal, "New-pass-2")
    assert not realm.kinit(principal, "Old-pass-1")


def test_typed_passwords_and_the_default_realm(exe, realm):
    realm.add_user("bob", "Old-pass-1")
    out, status = credmend(exe, realm, "", "bob", stdin=b"Old-pass-1\r\nNew-pass-2\r\n")
    assert (out, status) == (b"Enter old password:Enter new password:" + CHANGED[0], 0)
    assert realm.kinit("bob", "New-pass-2")


def test_a_lone_double_backslash_names_no_server(exe, realm):
    # "\\host" names a domain controller (see the Active Directory tests).
    realm.add_user("bea", "Old-pass-1")
    assert credmend(exe, realm, "\\\\", "bea", "New-pass-2", "Old-pass-1") == (
        b"Err: The computer name is invalid.\n", 35)
    assert realm.kinit("bea", "Old-pass-1")


@pytest.mark.parametrize("user, new, old, report", [
    ("alice", "Newer-pass-3", "wrong-old", (b"The old password is not correct.\n", 86)),
    ("nobody", "Newer-pass-3", "Old-pass-1", (b"Err: The user name could not be found.\n", 39)),
    # A user name is one component: "svc/host" is not the service principal.
    ("svc/host", "Newer-pass-3", "Svc-pass-1", (b"Err: The user name could not be found.\n", 39)),
])
def test_refused_changes_leave_the_password(exe, realm, user, new, old, report):
    realm.add_user("svc/host", "Svc-pass-1")
    assert credmend(exe, realm, REALM, user, new, old) == report
    assert realm.kinit("svc/host", "Svc-pass-1")


@pytest.fixture(scope="module")
def strict_policy(realm):
    realm.kadmin("addpol -minlength 12 -minclasses 3 -history 3 strict")


@pytest.mark.parametrize("new, reason", [
    ("Short-1", b"is too short"),
    ("alllowercaseletters", b"at least 3 character classes"),
    ("Old-long-pass-1", b"was used previously"),
], ids=["length", "classes", "history"])
def test_a_policy_refusal_gives_the_servers_reason(exe, realm, strict_policy, new, reason):
    realm.add_user("carol", "Old-long-pass-1", "-policy strict")
    out, status = credmend(exe, realm, REALM, "carol", new, "Old-long-pass-1")
    report, said, end = out.split(b"\n")
    assert (report, status, end) == (b"The password is shorter than required.", 39, b"")
    assert said.startswith(b"The server says: New password ") and reason in said
    assert realm.kinit("carol", "Old-long-pass-1")


def test_an_expired_password_can_be_changed(exe, realm):
    realm.add_user("dave", "Old-pass-1", '-pwexpire "2000-01-01 00:00:00"')
    assert credmend(exe, realm, REALM, "dave", "New-pass-2", "Old-pass-1") == CHANGED
    assert realm.kinit("dave", "New-pass-2")


@pytest.mark.parametrize("options, report", [
    ("-allow_tix", (b"The account is disabled, expired or locked out.\n", 255)),
    ('-expire "2000-01-01 00:00:00"', (b"The account has expired.\n", 255)),
])
def test_accounts_that_may_not_log_in(exe, realm, options, report):
    realm.add_user("erin", "Old-pass-1", options)
    assert credmend(exe, realm, REALM, "erin", "New-pass-2", "Old-pass-1") == report


def test_utf8_names_and_passwords_reach_the_kdc_intact(exe, realm):
    realm.add_user("j\u00f6rg", "Old-pass-1")
    new = "J\u00f6rg-p\u00e4ssword-2"
    assert credmend(exe, realm, REALM, "j\u00f6rg".encode(), new.encode(), b"Old-pass-1") == CHANGED
    assert realm.kinit("j\u00f6rg", new)
    # Typed, with a letter outside Latin and one outside the BMP.
    newer = "\u043f\u0430\u0440\u043e\u043b\u044c-\U0001F511-3"
    typed = f"{new}\n{newer}\n".encode()
    assert credmend(exe, realm, REALM, "j\u00f6rg".encode(), stdin=typed) == (
        b"Enter old password:Enter new password:" + CHANGED[0], 0)
    assert realm.kinit("j\u00f6rg", newer)


def test_a_99_character_password(exe, realm):
    realm.add_user("frank", "Old-pass-1")
    new = "P4ss-" + "x" * 94
    assert credmend(exe, realm, REALM, "frank", new, "Old-pass-1") == CHANGED
    assert realm.kinit("frank", new)


@pytest.mark.parametrize("server, report", [
    ("NOPE.TEST", b"The realm is not known, or no default realm is configured.\n"),
    ("CLOSED.TEST", b"No Kerberos server of the realm could be reached; the password is"
                    b" unchanged.\n"),
])
def test_realms_that_cannot_be_reached(exe, realm, server, report):
    out, status = credmend(exe, realm, server, "alice", "x", "y")
    assert out == report
    assert status == (255 if server == "NOPE.TEST" else 53)


def test_a_libkrb5_that_lacks_a_function_is_named_as_such(exe, realm, tmp_path):
    library = tmp_path / "libkrb5.so.3"
    subprocess.run(["cc", "-shared", "-x", "c", "/dev/null", "-o", library], check=True)
    result = subprocess.run([*exe, REALM, "alice", "x", "y"], capture_output=True, timeout=60,
                            env=dict(realm.env, LD_LIBRARY_PATH=str(tmp_path)))
    assert (result.stdout, result.returncode) == (
        b"The Kerberos library (MIT libkrb5) is missing, or lacks a function credmend needs;"
        b" the password is unchanged.\n", 50)


def test_a_real_change_leaves_no_password_in_memory(request, exe, realm):
    # libkrb5 works in this process too: its copies count.
    if len(exe) > 1 or request.config.option.sanitized:
        pytest.skip("the debugger runs the plain command")
    realm.add_user("lena", OLD)
    assert secrets_in(memory_after(exe[0], realm.env, "PrintSystemMessage",
                                   [REALM, "lena", NEW, OLD], b"")) == []
    assert realm.kinit("lena", NEW)


def test_a_server_that_never_answers_is_given_up_at_the_deadline(deadline_exe, realm):
    realm.pause_kdc()
    try:
        start = time.monotonic()
        out, status = credmend(deadline_exe, realm, REALM, "alice", "x", stdin=b"y\n")
        took = time.monotonic() - start
    finally:
        realm.resume_kdc()
    # The prompt, held in the output buffer, comes before the report. No
    # change request was made: the password is known to be unchanged.
    assert (out, status) == (b"Enter old password:The password change timed out; the password"
                             b" is unchanged.\n", 255)
    assert 3 <= took < 5, f"took {took:.1f} s for a 3 s deadline"


# The outcomes of real changes in the user's language and the locale's
# encoding, as the build's catalogues word them; the command's own reports
# stay as they are.
LANGUAGES = {"de_DE.UTF-8": ("de", "utf-8"), "de_DE.ISO-8859-1": ("de", "latin-1"),
             "ja_JP.UTF-8": ("ja", "utf-8")}


@pytest.mark.parametrize("locale", LANGUAGES)
def test_outcomes_in_the_users_language(request, deadline_exe, realm, strict_policy, tmp_path,
                                        locale):
    language, encoding = LANGUAGES[locale]
    catalogues = os.path.join(os.path.dirname(request.config.option.deadline_exe), "..", "locale")
    catalogue = gettext.translation("credmend", catalogues, [language])

    def said(english):
        assert catalogue.gettext(english) != english
        return catalogue.gettext(english).encode(encoding)
    env = dict(realm.env, LC_ALL=locale, LOCPATH=built_locales(str(tmp_path), locale))
    env.pop("LANGUAGE", None)
    realm.add_user("ute", "Old-long-pass-1", "-policy strict")

    def run(*args):
        result = subprocess.run([*deadline_exe, *args], env=env, capture_output=True, timeout=60)
        return result.stdout, result.returncode
    out, status = run(REALM, "ute", "Short-1", "Old-long-pass-1")
    assert status == 39 and out.startswith(b"The password is shorter than required.\n" +
                                           said("The server says: ") + b"New password "), out
    assert run(REALM, "ute", "New-long-pass-2", "Old-long-pass-1") == (
        said("The password has been changed.\n"), 0)
    assert run(REALM, "ute", "Newer-long-pass-3", "Wrong-pass-9") == (
        said("The old password is not correct.\n"), 86)
    assert run("CLOSED.TEST", "ute", "x", "y") == (said(
        "No Kerberos server of the realm could be reached; the password is unchanged.\n"), 53)
