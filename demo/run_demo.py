#!/usr/bin/env python3
"""The demo's scenario: runs the watchdog of a prepared Demo.app and prints a timeline.

    demo/run_demo.py ROOT OWNER CAPTURE STATUS_TOOL

ROOT holds Demo.app (the watchdog and veldane-demo-host as Demo), home/ and
control/; OWNER is the pid the demo hosts outlive by no more than a moment;
CAPTURE is journal-capture, or empty; STATUS_TOOL is veldane-watchdog-status.
What the watchdog holds and thinks (its data folder, the host's liveness, its
ledger and its hang report) is read through STATUS_TOOL --json, and what it
decided from its log; the host tells what it does in control/events. The
program writes ROOT/watchdog.pid and ROOT/verdict; scripts/demo ends every
process by pid and removes ROOT.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time

root, owner, capture, status_tool = sys.argv[1:5]
bundle = os.path.join(root, "Demo.app")
watchdog_exe = os.path.join(bundle, "Contents/MacOS/VeldaneWatchdog")
host_exe = os.path.join(bundle, "Contents/MacOS/Demo")
control = os.path.join(root, "control")
journal = os.path.join(root, "journal.jsonl")
# What the host's launches do, the last line for every later one:
#   launch 1  runs 5 s, then crashes         -> relaunched with --veldane-recovered
#   launch 2  runs 5 s, then hangs spinning  -> its threads' states and stacks taken, then
#                                               ended with SIGKILL, relaunched as a hang
#   launch 3  runs 3 s, then crashes         -> the 3rd unexpected exit in the crash-loop
#                                               window: one last launch in safe mode
#   launch 4  (safe mode) crashes after 3 s  -> left down
PLAN = ["crash 5", "spin 5", "crash 3", "crash 3"]
QUIET = 8.0  # seconds without a launch that show the host is left down
DEADLINE = 90.0
env = {"HOME": os.path.join(root, "home"), "PATH": "/usr/bin:/bin",
       "VELDANE_DEMO_CONTROL": control, "VELDANE_DEMO_OWNER": owner}
t0 = time.time()


def say(at, who, text):
    print(f"  {at - t0:5.1f}s  {who:<9} {text}", flush=True)


def plan_text(step):
    words = step.split()
    action = words[0] if words else "run"
    seconds = words[1] if len(words) > 1 else "0"
    return {
        "crash": f"runs {seconds} s, then crashes",
        "hang": f"runs {seconds} s, then hangs",
        "spin": f"runs {seconds} s, then hangs spinning in a loop",
        "block": f"runs {seconds} s, then hangs blocked in read(2)",
        "exit": f"runs {seconds} s, then quits cleanly",
        "reset": "resets the crash loop, then runs",
    }.get(action, "runs")


class Tail:
    """The complete lines added to a file since the last call."""

    def __init__(self, path):
        self.path, self.offset, self.rest = path, 0, b""

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return []
        self.offset += len(data)
        *complete, self.rest = (self.rest + data).split(b"\n")
        return [line.decode("utf-8", "replace") for line in complete if line.strip()]


def status_tool_says(*arguments):
    try:
        return subprocess.run([status_tool, *arguments, bundle], env=env, cwd=root,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              errors="replace", timeout=10, check=False).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def watchdog_status():
    """What the watchdog holds of the host and of its own judgement; {} when unknown."""
    try:
        report = json.loads(status_tool_says("--json"))
    except ValueError:
        return {}
    return report if isinstance(report, dict) else {}


def hang_report_text():
    """The status tool's own rendering of the last hang report."""
    text = status_tool_says()
    start = text.find("Last hang report")
    return text[start:].rstrip("\n").split("\n") if start >= 0 else []


def start_watchdog():
    """The watchdog under journal-capture, or alone where that cannot be."""
    pdeath = ["setpriv", "--pdeathsig", "TERM", "--"]  # ends with this program
    if capture:
        errors = os.path.join(root, "capture.err")
        with open(errors, "w") as err:
            process = subprocess.Popen(
                pdeath + [os.path.abspath(capture), "--out", journal, "--", watchdog_exe],
                env=env, cwd=root, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            if process.wait(timeout=1.0) == 77:
                with open(errors) as err:
                    why = err.read().strip()
                print(f"(No private journal here: {why}.\n"
                      " The watchdog's log lines are left out; its judgements are read from its"
                      " ledger.)")
            else:
                print("(journal-capture failed; the watchdog runs without it.)")
        except subprocess.TimeoutExpired:
            return process, True
    process = subprocess.Popen(pdeath + [watchdog_exe], env=env, cwd=root,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    return process, False


with open(os.path.join(control, "plan"), "w") as f:
    f.write("".join(step + "\n" for step in PLAN))
print(f"Demo.app in {root}: the watchdog and a demo host. The host's plan:")
for number, step in enumerate(PLAN, 1):
    later = " and later" if number == len(PLAN) else ""
    print(f"  launch {number}{later}: {plan_text(step)}")
print("Times are seconds since the watchdog started.\n")

watchdog, logged = start_watchdog()
t0 = time.time()
with open(os.path.join(root, "watchdog.pid"), "w") as f:
    f.write(str(watchdog.pid))
say(t0, "demo", f"started the watchdog{' under journal-capture' if logged else ''}, pid {watchdog.pid}")

events, log = Tail(os.path.join(control, "events")), Tail(journal)
hosts = {}  # pid -> {"who", "launchID", "said_last", "gone"}
who_ran = {}  # launch ID -> "host #N"
killed = set()  # pids the watchdog said it ends, or reported as hung
kinds = {}  # each unexpected exit's date -> the last exit the ledger named when it came
status, ledger, ledger_line, hang_pid = {}, None, None, None
down_since, last_start = None, t0
host_started, complete, interrupted = False, False, False


def part(name):
    value = status.get(name)
    return value if isinstance(value, dict) else {}


def on_event(event):
    global last_start
    at, pid, name = event.get("at", time.time()), event.get("pid"), event.get("event")
    who = f"host #{event.get('launch', '?')}"
    flags = " ".join(event.get("arguments", [])) or "no flags"
    if name == "started":
        last_start = at
        hosts[pid] = {"who": who, "launchID": event.get("launchID"), "said_last": False,
                      "gone": False}
        who_ran[event.get("launchID")] = who
        say(at, who, f"started, pid {pid}, {flags}: {plan_text(event.get('step', ''))}")
    elif name == "hung":
        how = {"spin": ", spinning in demoSpin()", "block": ", blocked in read(2)"}.get(
            event.get("how", "").split(" ")[0], "")
        host = watchdog_status().get("host") or {}
        limit = host.get("hangLimitSeconds") if host.get("pid") == pid else None
        limit = f" (its hang limit is now {limit:g} s)" if isinstance(limit, (int, float)) else ""
        say(at, who, f"hangs{how}: curtain up, heartbeats stop{limit}")
    elif name == "crashing":
        hosts.get(pid, {})["said_last"] = True
        say(at, who, "crashes (abort)")
    elif name == "cleanExit":
        hosts.get(pid, {})["said_last"] = True
        say(at, who, "quits cleanly (cleanExit)")
    elif name == "crashLoopReset":
        say(at, who, "writes crashLoopResetAt (resetCrashLoop)")
    elif name == "failed":
        say(at, who, f"could not start: {event.get('reason', '')}")
    else:
        say(at, who, name)


def check_host(now):
    """Tells of the end of the host that the run record names, once the watchdog's own test
    fails and it is known how it ended: by its last word, by the watchdog's kill, or by
    neither once the watchdog has judged the run."""
    host = part("host")
    state = hosts.get(host.get("pid"))
    if state is None or state["gone"] or host.get("alive") is not False:
        return
    judged = part("ledger").get("handledLaunchID") == state["launchID"]
    if not (judged or state["said_last"] or host["pid"] in killed):
        return
    state["gone"] = True
    if host["pid"] in killed:
        say(now, state["who"], f"is gone: pid {host['pid']} ended by the watchdog's SIGKILL")
    elif not state["said_last"]:
        say(now, state["who"], f"is gone without a last word (pid {host['pid']})")


def on_hang_report(now):
    say(now, "report", "hang-report.json, as veldane-watchdog-status shows it:")
    for line in hang_report_text()[1:]:
        say(now, "", line[2:])


def on_ledger(now, old, new):
    """Prints the ledger's state as the status tool reads it, and what changed."""
    global ledger_line
    recent = new.get("recentUnexpectedExits") or []
    for date in recent:
        kinds.setdefault(date, new.get("lastExit") or "?")
    counted = [kinds[date] for date in recent]
    parts = [] if old or not new.get("thisBoot") else ["new for this boot"]
    if new.get("lastExit"):
        parts.append(f"lastExit {new['lastExit']}")
    counted_text = f" ({', '.join(counted)})" if counted else ""
    parts.append(f"unexpectedExits {len(recent)} of {new.get('crashLoopLimit')}{counted_text}")
    parts.append(f"relaunches {new.get('relaunches', 0)}")
    if new.get("stopped"):
        parts.append("stoppedAt/safeModeLaunchedAt set")
    line = ", ".join(parts)
    old = old or {}
    judged = new.get("handledLaunchID") != old.get("handledLaunchID")
    # Fields that it does not show change too (the relaunch's date).
    if not judged and line == ledger_line:
        return
    ledger_line = line
    if judged and not logged and new.get("handledLaunchID"):
        stopped = ", stopped" if new.get("stopped") else ""
        say(now, "watchdog", f"judged the end of {who_ran.get(new['handledLaunchID'], 'a host')}"
            f" (read from its ledger): {new.get('lastExit') or '?'}{stopped}")
    say(now, "ledger", line)
    if new.get("stopped") and not old.get("stopped") and "hang" in counted:
        say(now, "", "(the hang counts too: exits of both kinds count alike)")
    elif old.get("stopped") and not new.get("stopped"):
        say(now, "", "(crash loop reset: the stop is lifted and the count starts again)")
    elif old.get("stopped") and judged:
        say(now, "", "(stopped: the exit is noted, not counted, and not relaunched)")


try:
    while True:
        now = time.time()
        for line in events.lines():
            try:
                on_event(json.loads(line))
            except ValueError:
                pass
        records = []
        for line in log.lines():
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if record.get("SYSLOG_IDENTIFIER") == "VeldaneWatchdog":
                records.append(record.get("MESSAGE", ""))
        # Read after the log, so that it knows at least what the log tells.
        status = watchdog_status()
        report = part("hangReport")
        if report and report.get("pid") != hang_pid:
            killed.add(report.get("pid"))
        for message in records:
            ending = re.search(r"ending pid (\d+)", message)
            if ending:
                killed.add(int(ending.group(1)))
            elif message.startswith("Host ended"):
                check_host(now)  # the end that the watchdog judges comes first
            say(now, "watchdog", message)
        check_host(now)
        if report and report.get("pid") != hang_pid:
            hang_pid = report.get("pid")
            on_hang_report(now)
        current = part("ledger")
        if current and current != ledger:
            on_ledger(now, ledger, current)
            ledger = current

        if not host_started and ledger is not None:
            # The first tick has run; now the user opens the application.
            say(time.time(), "demo", "opens Demo.app by hand (launch 1)")
            subprocess.run(["setsid", "-f", host_exe], env=env, cwd=root, check=False,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            host_started = True
        host = part("host")
        if (down_since is None and ledger and ledger.get("stopped") and host.get("safeMode")
                and ledger.get("handledLaunchID") == host.get("launchID")):
            down_since = now
        if down_since is not None and now - max(down_since, last_start) >= QUIET:
            say(now, "demo", f"{QUIET:.0f} s without a launch: the host is left down")
            complete = True
            break
        if watchdog.poll() is not None:
            say(now, "demo", f"the watchdog ended by itself (status {watchdog.returncode})")
            break
        if now - t0 > DEADLINE:
            say(now, "demo", f"the story did not end within {DEADLINE:.0f} s")
            break
        time.sleep(0.1)
except KeyboardInterrupt:
    interrupted = True
finally:
    if watchdog.poll() is None:
        watchdog.send_signal(signal.SIGTERM)
        try:
            watchdog.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        if watchdog.returncode is not None and not interrupted:
            say(time.time(), "demo", f"SIGTERM to the watchdog: it exits with status "
                f"{watchdog.returncode}")
if interrupted:
    sys.exit(130)

with open(os.path.join(control, "launches")) as f:
    launches = [line.split() for line in f if line.strip()]
safe = any("--veldane-safe-mode" in launch for launch in launches)
final = watchdog_status()
host, ledger = final.get("host") or {}, final.get("ledger") or {}
down = host.get("alive") is False and bool(ledger.get("stopped"))
verdict = (f"{len(launches)} launches, safe mode {'reached' if safe else 'not reached'}, "
           f"host {'left down' if down else 'still running'}")
ok = complete and safe and down
with open(os.path.join(root, "verdict"), "w") as f:
    f.write(f"Demo {'finished' if ok else 'incomplete'}: {verdict}.\n")
sys.exit(0 if ok else 1)
