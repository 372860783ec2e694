"""credmend's speed and memory beside the tools and floors it is held to.

Every figure is a median of repeated runs, and every comparison a ratio of
runs made side by side, alternating, in the same session."""
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "kdc"))
from realm import REALM, Realm  # noqa: E402

WINE = "/usr/lib/wine/wine64"


# The clients run on one core, the last; the realm's servers go where the
# system puts them.
ONE_CORE = ["taskset", "-c", str(os.cpu_count() - 1)]


def timed(command, env, stdin=b""):
    """Wall seconds, and the CPU seconds of the command and its children,
    run on one core."""
    start = time.perf_counter()
    process = subprocess.Popen(ONE_CORE + command, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env)
    process.stdin.write(stdin)
    process.stdin.close()
    _, status, usage = os.wait4(process.pid, 0)
    took = time.perf_counter() - start
    assert os.waitstatus_to_exitcode(status) == 0, command
    return took, usage.ru_utime + usage.ru_stime


def peak_kib(command, env, stdin=b""):
    with tempfile.NamedTemporaryFile() as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name, *command], input=stdin,
                       env=env, capture_output=True, check=True)
        return int(open(out.name).read().split()[-1])


def hyperfine(commands, env, runs):
    """Median seconds of each command, run by hyperfine without a shell."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(["hyperfine", "-N", "-i", "--warmup", "10", "--runs", str(runs),
                        "--export-json", out.name, *commands], env=env, check=True,
                       capture_output=True)
        return [result["median"] for result in json.load(open(out.name))["results"]]


def change_versus_kpasswd(credmend, realm, rounds):
    """Medians of wall and CPU seconds, and of the ratios pair by pair."""
    realm.add_user("benchc", "Pass-A-1")
    realm.add_user("benchk", "Pass-A-1")
    ours, theirs, passwords = [], [], ("Pass-A-1", "Pass-B-2")
    for i in range(rounds):
        old, new = passwords[i % 2], passwords[(i + 1) % 2]
        ours.append(timed([credmend, REALM, "benchc", new, old], realm.env))
        theirs.append(timed(["kpasswd", f"benchk@{REALM}"], realm.env,
                            f"{old}\n{new}\n{new}\n".encode()))
    ratios = [statistics.median(a[k] / b[k] for a, b in zip(ours, theirs)) for k in (0, 1)]
    ours = [statistics.median(each) for each in zip(*ours)]
    theirs = [statistics.median(each) for each in zip(*theirs)]
    old, new = passwords[rounds % 2], passwords[(rounds + 1) % 2]
    memory = (peak_kib([credmend, REALM, "benchc", new, old], realm.env),
              peak_kib(["kpasswd", f"benchk@{REALM}"], realm.env,
                       f"{old}\n{new}\n{new}\n".encode()))
    return ours, theirs, ratios, memory


def main():
    credmend, floor, dynamic_floor, exe, minimal = sys.argv[1:6]
    rows = []
    realm = Realm()
    # As users run it: no libkrb5 trace to format.
    realm.env.pop("KRB5_TRACE", None)
    try:
        (ours, our_cpu), (theirs, their_cpu), ratios, (our_kib, their_kib) = \
            change_versus_kpasswd(credmend, realm, 41)
        rows.append(("password change vs MIT kpasswd, one core (wall)", f"{ours * 1000:.1f} ms",
                     f"{theirs * 1000:.1f} ms", ratios[0], "<= 0.95"))
        rows.append(("password change vs MIT kpasswd, one core (client CPU)",
                     f"{our_cpu * 1000:.1f} ms", f"{their_cpu * 1000:.1f} ms", ratios[1],
                     "<= 0.9"))
        usage, refusal, realm_unknown, dynamic, bottom = hyperfine(
            [credmend, f"{credmend} {'x' * 100} user new old",
             f"{credmend} NOPE.TEST user new old", dynamic_floor, floor], realm.env, 300)
        for name, figure in (("usage path", usage), ("too-long refusal", refusal),
                             ("unknown-realm report (loads libkrb5)", realm_unknown),
                             ("dynamically linked floor", dynamic)):
            rows.append((f"{name} vs static floor", f"{figure * 1000:.2f} ms",
                         f"{bottom * 1000:.2f} ms", figure / bottom, "<= 1.5"))
        usage_kib = statistics.median(peak_kib([credmend], realm.env) for _ in range(5))
        rows.append(("peak RSS, change vs kpasswd", f"{our_kib} KiB", f"{their_kib} KiB",
                     our_kib / their_kib, "<= 1.0"))
        rows.append(("peak RSS, usage path", f"{usage_kib:.0f} KiB", "1536 KiB",
                     usage_kib / 1536, "<= 1.0"))
    finally:
        realm.stop()

    prefix = tempfile.mkdtemp(prefix="credmend-bench-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    subprocess.run([WINE, "wineboot", "-i"], env=env, capture_output=True)
    ours, floor_exe = hyperfine([f"{WINE} {exe}", f"{WINE} {minimal}"], env, 40)
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
    rows.append(("x64 exe under Wine vs minimal exe", f"{ours * 1000:.1f} ms",
                 f"{floor_exe * 1000:.1f} ms", ours / floor_exe, "<= 1.1"))

    print(f"Machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}")
    print("\n| measure | credmend | baseline | ratio | target |\n|---|---|---|---|---|")
    for name, mine, base, ratio, target in rows:
        print(f"| {name} | {mine} | {base} | {ratio:.2f} | {target} |")


main()
