#!/usr/bin/env python3
"""Checks one end-to-end scenario of joyvane_service.exe from the logs that
run.sh collected, and summarises the measured figures of a whole run.

    analyze.py check DIR        prints one line per check ("ok ..." / "FAIL ...")
                                and writes DIR/figures.json
    analyze.py summary E2E_DIR  prints the measured figures of every scenario
                                and writes E2E_DIR/figures.txt

DIR holds what run.sh gathered for one scenario (see run.sh, collect_logs):

    meta.env                    key=value: name, kind, args, flavour, ...
    host_run.txt                the same scenario played on the simulated Windows
                                (build/host/tests/joyvane_scenario): the run this
                                one is judged against
    ZUR_USBIO_KAD.log           capture library stand-in, every call
    world.scenario              the scenario the stand-ins played
    virtual_hid.log             hid.dll / setupapi.dll stand-ins, every call
    virtual_hid_reports.log     every HidD_SetFeature with its bytes
    service_stdout.log          what the service printed
    session.log                 Wine's +service/+timestamp trace of this scenario
    wine.log                    Wine's own messages from the commands of this scenario
    trace.log                   OutputDebugStringA lines seen during the scenario

All times below are milliseconds on the monotonic base that every log shares
(qpc_us / 1000 in the stand-in logs; Wine's +timestamp is the same clock in
whole milliseconds).
"""

import json
import os
import re
import statistics
import sys

SERVICE_NAME = "ZUR Service 1.02"

# Tolerances, generous enough for Wine on a loaded two-core machine, tight
# enough to catch a wrong length, a lost report or a missing pause.
# Tolerances of the Wine run against the exact host run, generous enough for
# Wine on a loaded two-core machine, tight enough to catch a wrong length, a
# lost report or a missing pause.
REPORT_SLACK_MS = 120           # a report comes at most one poll period + this late or early
TIMER_SLACK_MS = 60             # a click's length, timed by a pause or a timer
CALL_SLACK_MS = 150             # a library call against its host time, beyond one poll period
POLL_TO_REPORT_MS = 50          # from the poll that read a change to its report
STOP_PROMPT_MS = 100            # a stop takes as long as the library call or report under way
STOP_BLOCKED_MS = (1000, 1100)  # the library blocks: the stop's deadline of 1001 ms
STOPPED_AFTER_WORKER_MS = (-1, 50)  # the +timestamp clock has whole milliseconds
RECONNECT_PAUSE_MS = 1000
# Roles of reports that a poll sends, and of those a pause or timer ends.
POLL_ROLES = ("down", "up", "click", "short", "release")
TIMED_ROLES = ("click-end", "short-end", "long", "long-end")

CRASH_PATTERNS = [
    "Unhandled exception",
    "page fault",
    "wine: Unhandled",
    "backtrace",
    "stack overflow",
    "Assertion",
    "err:seh",
]


# --- reading the logs ---------------------------------------------------------


def read_lines(path):
    try:
        with open(path, "r", encoding="latin-1") as f:
            return [line.rstrip("\r\n") for line in f]
    except FileNotFoundError:
        return None


def read_meta(directory):
    meta = {}
    for line in read_lines(os.path.join(directory, "meta.env")) or []:
        if "=" in line:
            key, value = line.split("=", 1)
            meta[key.strip()] = value.strip()
    return meta


def parse_capture_log(lines):
    """ZUR_USBIO_KAD.log: unix qpc pid tid Call(args) result t=N [state=S]"""
    calls = []
    for line in lines or []:
        f = line.split()
        if len(f) < 6:
            continue
        entry = {"unix": int(f[0]), "ms": int(f[1]) / 1000.0, "pid": f[2], "tid": f[3], "call": f[4],
                 "result": f[5]}
        for item in f[6:]:
            if item.startswith("t="):
                entry["t"] = int(item[2:])
            elif item.startswith("state="):
                entry["state"] = int(item[6:], 0)
        entry["name"] = entry["call"].split("(")[0]
        calls.append(entry)
    return calls


def parse_reports(lines):
    """virtual_hid_reports.log: unix qpc pid tid ok|refused bytes..."""
    reports = []
    for line in lines or []:
        f = line.split()
        if len(f) < 5:
            continue
        reports.append({"unix": int(f[0]), "ms": int(f[1]) / 1000.0, "tid": f[3], "status": f[4],
                        "bytes": f[5:]})
    return reports


def parse_hid_log(lines):
    calls = []
    for line in lines or []:
        f = line.split(None, 4)
        if len(f) < 5:
            continue
        calls.append({"unix": int(f[0]), "ms": int(f[1]) / 1000.0, "pid": f[2], "tid": f[3],
                      "text": f[4], "name": f[4].split("(")[0]})
    return calls


def parse_trace(lines):
    """trace.log (joyvane_tracecat): unix qpc pid text"""
    out = []
    for line in lines or []:
        f = line.split(None, 3)
        if len(f) < 4:
            continue
        out.append({"ms": int(f[1]) / 1000.0, "pid": f[2], "text": f[3]})
    return out


SESSION_RE = re.compile(r"^(?:(\d+\.\d+):)?([0-9a-f]+):([0-9a-f]+):(\w+):(\w+):(\S+) ?(.*)$")


def parse_status_reports(lines):
    """The service's own SetServiceStatus calls, from Wine's +service trace
    (with +pid and +timestamp): [{ms, pid, type, state, accepted, exit,
    specific, checkpoint, waithint}]."""
    ours = set()
    reports = []
    for line in lines or []:
        m = SESSION_RE.match(line)
        if not m or m.group(4) != "trace" or m.group(5) != "service":
            continue
        ts, pid, function, rest = m.group(1), m.group(2), m.group(6), m.group(7)
        if function == "RegisterServiceCtrlHandlerExW" and rest.startswith('L"%s" ' % SERVICE_NAME):
            ours.add(pid)
        elif function == "SetServiceStatus" and pid in ours:
            v = rest.split()
            if len(v) < 8:
                continue
            type_, state, accepted, exit_, specific, checkpoint, waithint = (int(x, 16) for x in v[1:8])
            reports.append({"ms": float(ts) * 1000.0 if ts else None, "pid": pid, "type": type_,
                            "state": state, "accepted": accepted, "exit": exit_, "specific": specific,
                            "checkpoint": checkpoint, "waithint": waithint})
    return reports


def read_host_run(path):
    """host_run.txt, as joyvane_scenario prints it."""
    run = {"reports": [], "buttons": [], "calls": [], "trace": [], "stdout": [], "end": None}
    for line in read_lines(path) or []:
        word, _, rest = line.partition(" ")
        f = rest.split()
        if word in ("service", "library", "stop"):
            run[word] = rest
        elif word == "report":
            run["reports"].append({"t": int(f[0]), "status": f[1], "bytes": f[2:7], "role": f[7]})
        elif word == "button":
            run["buttons"].append((int(f[0]), int(f[1])))
        elif word == "call":
            # "call T NAME ARGS -> RESULT [state S]"
            after = f[f.index("->") + 1:] if "->" in f else [""]
            call = {"t": int(f[0]), "name": f[1].replace("ZUR_USBIO_API_", ""), "result": after[0]}
            if after[1:2] == ["state"]:
                call["state"] = int(after[2])
            run["calls"].append(call)
        elif word in ("trace", "stdout"):
            run[word].append(rest)
        elif word == "end":
            run["end"] = int(f[0])
    return run


def value_of(report):
    b = [int(x, 16) for x in report["bytes"]]
    if len(b) != 5:
        return None
    return (b[3] >> 4) | (b[4] << 4)


# --- checks -------------------------------------------------------------------


class Checker:
    def __init__(self, name):
        self.name = name
        self.passed = 0
        self.failed = 0
        self.figures = {}

    def check(self, condition, what, detail=""):
        if condition:
            self.passed += 1
            print("ok   %s: %s" % (self.name, what))
        else:
            self.failed += 1
            print("FAIL %s: %s%s" % (self.name, what, " -- " + detail if detail else ""))
        return condition

    def figure(self, key, value):
        self.figures.setdefault(key, []).append(value)


def check_no_crash(c, directory):
    found = []
    for log in ("session.log", "wine.log", "console.log", "service_stderr.log"):
        for line in read_lines(os.path.join(directory, log)) or []:
            for pattern in CRASH_PATTERNS:
                if pattern.lower() in line.lower():
                    found.append("%s: %s" % (log, line.strip()[:160]))
    c.check(not found, "no crash in Wine's logs (%s)" % ", ".join(CRASH_PATTERNS[:4]),
            "; ".join(found[:3]))


def check_status_sequence(c, statuses):
    expected = [(2, 1, 3000, 0), (2, 2, 1000, 0), (4, 0, 0, 5), (3, 1, 3000, 5), (1, 0, 0, 5)]
    seen = [(s["state"], s["checkpoint"], s["waithint"], s["accepted"]) for s in statuses]
    c.check(seen == expected,
            "status sequence start-pending(1,3000) start-pending(2,1000) running stop-pending(1,3000) stopped, accepted 0/5",
            "seen (state,checkpoint,waithint,accepted) %s" % seen)
    c.check(bool(statuses) and all(s["type"] == 0x10 and s["exit"] == 0 and s["specific"] == 0 for s in statuses),
            "every status: own process (0x10), exit codes 0",
            str([(hex(s["type"]), s["exit"], s["specific"]) for s in statuses]))
    c.check(len({s["pid"] for s in statuses}) <= 1, "all status reports from one process")


def stop_times(statuses):
    pending = [s["ms"] for s in statuses if s["state"] == 3]
    stopped = [s["ms"] for s in statuses if s["state"] == 1]
    if pending and stopped and pending[0] is not None and stopped[-1] is not None:
        return pending[0], stopped[-1]
    return None, None


def check_report_bytes(c, reports):
    bad = [r["bytes"] for r in reports if value_of(r) is None or r["bytes"][:3] != ["00", "00", "00"]
           or int(r["bytes"][3], 16) & 0x0F]
    c.check(reports is not None and not bad, "every report is 5 bytes, id 0, value in bytes 3-4",
            "bad: %s" % bad[:3])


def check_worker_exit(c, calls, statuses):
    """At the stop the worker closes device 0, destroys, unloads the library,
    and stopped is reported right after."""
    names = [x["name"] for x in calls]
    tail = names[-3:]
    c.check(tail == ["Close", "Destroy", "Unload"] and calls[-1]["call"] == "Unload(FreeLibrary)",
            "worker's exit: Close(0), Destroy(), FreeLibrary last", "last calls %s" % [x["call"] for x in calls[-3:]])
    pending, stopped = stop_times(statuses)
    if pending is not None and calls:
        unload = calls[-1]["ms"]
        after = stopped - unload
        c.figure("stopped_after_worker_ms", after)
        c.check(STOPPED_AFTER_WORKER_MS[0] <= after <= STOPPED_AFTER_WORKER_MS[1],
                "stopped reported %d-%d ms after the worker left (library unloaded)" % STOPPED_AFTER_WORKER_MS,
                "%.0f ms" % after)
        c.check(unload >= pending - 1, "the worker left only after the stop request",
                "unload %.0f ms before stop-pending" % (pending - unload))


def check_process_exit(c, hid_calls):
    texts = [x["text"] for x in hid_calls]
    exits = [t for t in texts if t.startswith("Unload(") and t.endswith("exit")]
    leaks = [t for t in exits if re.search(r"live_\w+=[1-9]", t)]
    c.check(len(exits) == 2, "the service process ended (hid.dll and setupapi.dll unloaded at exit)",
            "exit unloads: %s" % exits)
    c.check(not leaks, "no device-info set or preparsed data left open at exit", str(leaks))


def check_polls(c, calls, poll_ms, reports):
    """Median pause between two successful polls that sent nothing in between."""
    polls = [x for x in calls if x["name"] == "GetGPIO" and x["result"] == "0"]
    report_times = [r["ms"] for r in reports]
    gaps = []
    for a, b in zip(polls, polls[1:]):
        if any(a["ms"] <= t <= b["ms"] for t in report_times):
            continue
        if b["ms"] - a["ms"] > RECONNECT_PAUSE_MS / 2:
            continue  # a reconnection lies between them
        gaps.append(b["ms"] - a["ms"])
    if not gaps:
        return c.check(False, "poll period", "no consecutive polls")
    median = statistics.median(gaps)
    c.figure("poll_period_median_ms", median)
    c.figure("poll_period_max_ms", max(gaps))
    c.figure("poll_period_configured_ms", poll_ms)
    c.check(poll_ms - 2 <= median <= poll_ms + 15,
            "poll period median %.1f ms for %d ms configured (max %.0f, %d polls)" % (median, poll_ms, max(gaps), len(gaps)))


def check_stop_time(c, statuses, low, high, key, what):
    pending, stopped = stop_times(statuses)
    if pending is None:
        return c.check(False, what, "no timed stop-pending/stopped in the trace")
    took = stopped - pending
    c.figure(key, took)
    return c.check(low <= took <= high, "%s: stop-pending to stopped %.0f ms (%d-%d)" % (what, took, low, high))


def trace_texts(trace, pid=None):
    return [x["text"] for x in trace if pid is None or x["pid"] == pid]


# --- scenario kinds -----------------------------------------------------------


def since_load(lines, load_unix_us, parse):
    """Entries of a stand-in log with "t": milliseconds since the capture library
    was loaded, on the wall clock that every stand-in log and meta.env share."""
    out = parse(lines)
    for entry in out:
        entry["t"] = (entry["unix"] - load_unix_us) / 1000.0
    return out


def compared_calls(calls, hid_calls):
    """The calls the Wine run must make as the host run made them: every
    library call but a successful poll, and each joystick lookup, in time order."""
    out = [{"t": x["t"], "name": x["name"], "result": x["result"]} for x in calls
           if x["name"] in ("Init", "Open", "InitI2c", "GetGPIO", "Close", "Destroy", "Blocked")
           and not (x["name"] == "GetGPIO" and x["result"] == "0")]
    out += [{"t": x["t"], "name": "SetupDiGetClassDevsA", "result": ""} for x in hid_calls
            if x["name"] == "SetupDiGetClassDevsA"]
    return sorted(out, key=lambda x: x["t"])


def check_reports_against_host(c, host, reports, calls, stop_t, poll_ms):
    """Before the stop the reports are the host run's: the same bytes in the same
    order, each at the host's time give or take a poll period, and a click as
    long as on the host. After the stop which thread meets it first decides the
    order, so only the end counts: the idle value last."""
    before_h = [r for r in host["reports"] if r["t"] < host_stop(host)]
    after_h = [r for r in host["reports"] if r["t"] >= host_stop(host)]
    before_w = [r for r in reports if r["t"] < stop_t]
    after_w = [r for r in reports if r["t"] >= stop_t and r["status"] == "ok"]
    want = ["%s %s" % (r["status"], " ".join(r["bytes"])) for r in before_h]
    got = ["%s %s" % (r["status"], " ".join(r["bytes"])) for r in before_w]
    c.check(got == want, "reports before the stop as on the host: %s" % " | ".join(
        "%d %s" % (value_of(r), r["role"]) for r in before_h) or "none", "got %s" % got)
    if after_h:
        c.check(bool(after_w) and after_w[-1]["bytes"] == after_h[-1]["bytes"],
                "after the stop the joystick's last report is %s, as on the host" % " ".join(after_h[-1]["bytes"]),
                str([r["bytes"] for r in after_w]))
        c.check(all(r["bytes"] in [h["bytes"] for h in after_h] for r in after_w),
                "after the stop only values the host run sent after it", str([r["bytes"] for r in after_w]))
    else:
        c.check(not after_w, "nothing sent after the stop, as on the host", str([r["bytes"] for r in after_w]))
    if got != want:
        return
    polls = [x for x in calls if x["name"] == "GetGPIO" and x["result"] == "0"]
    steps = host["buttons"]
    problems = []
    for k, (h, w) in enumerate(zip(before_h, before_w)):
        late = w["t"] - h["t"]
        c.figure("report_minus_host_ms", late)
        if abs(late) > poll_ms + REPORT_SLACK_MS:
            problems.append("%s at %.0f ms, host %d" % (h["role"], w["t"], h["t"]))
        if h["role"] in POLL_ROLES:
            cause = max([t for t, _ in steps if t <= h["t"]], default=None)
            if cause is not None:
                # A release during a click is read at the first poll after the click.
                if h["role"] == "release" and k > 0:
                    cause = max(cause, before_w[k - 1]["t"])
                c.figure("press_to_report_ms", w["t"] - cause)
            seen = [p for p in polls if p["t"] <= w["t"]]
            if seen:
                c.figure("poll_to_report_ms", w["t"] - seen[-1]["t"])
                if w["t"] - seen[-1]["t"] > POLL_TO_REPORT_MS:
                    problems.append("%s %.0f ms after its poll" % (h["role"], w["t"] - seen[-1]["t"]))
        if h["role"] == "long":
            # The long click comes a fixed time after the poll that saw the press.
            press = max([t for t, state in steps if t <= h["t"] and state == 1], default=0)
            seen_w = next((p for p in polls if p["t"] >= press and p.get("state") == 1), None)
            seen_h = next((p for p in host["calls"] if p["name"] == "GetGPIO" and p["t"] >= press
                           and p.get("state") == 1), None)
            if seen_w and seen_h:
                fire = w["t"] - seen_w["t"]
                c.figure("long_press_fire_ms", fire)
                if abs(fire - (h["t"] - seen_h["t"])) > TIMER_SLACK_MS + 20:
                    problems.append("long click %.0f ms after its poll, host %d" % (fire, h["t"] - seen_h["t"]))
        elif k > 0 and h["role"] in TIMED_ROLES + ("up",):
            gap_w = w["t"] - before_w[k - 1]["t"]
            gap_h = h["t"] - before_h[k - 1]["t"]
            slack = poll_ms + 80 if h["role"] == "up" else TIMER_SLACK_MS
            if h["role"] == "up":
                c.figure("hold_error_ms", gap_w - gap_h)
            else:
                c.figure("click_ms_%d" % gap_h, gap_w)
            if abs(gap_w - gap_h) > slack:
                problems.append("%s %.0f ms after the report before it, host %d (+- %d)" % (
                    h["role"], gap_w, gap_h, slack))
    c.check(not problems, "every report on time: within a poll period + %d ms of the host's, a poll's report "
            "within %d ms of it, clicks within %d ms of the host's length" % (
                REPORT_SLACK_MS, POLL_TO_REPORT_MS, TIMER_SLACK_MS), "; ".join(problems))


def host_stop(host):
    return int(host.get("stop", "0"))


def check_calls_against_host(c, host, calls, hid_calls, poll_ms):
    want = [x for x in host["calls"] if not (x["name"] == "GetGPIO" and x["result"] == "0")]
    got = [x for x in compared_calls(calls, hid_calls) if x["t"] <= host["end"] + CALL_SLACK_MS + poll_ms]
    c.check([x["name"] for x in got] == [x["name"] for x in want],
            "library calls and joystick lookups in the host's order: %s" % " ".join(
                "%s@%d" % (x["name"], x["t"]) for x in want if x["name"] != "GetGPIO")
            + " (%d failed polls)" % sum(1 for x in want if x["name"] == "GetGPIO"),
            "got %s" % " ".join("%s@%.0f" % (x["name"], x["t"]) for x in got[:30]))
    if [x["name"] for x in got] != [x["name"] for x in want]:
        return
    late = [(x["name"], w["t"] - x["t"]) for x, w in zip(want, got)
            if abs(w["t"] - x["t"]) > poll_ms + CALL_SLACK_MS]
    c.check(not late, "each call within a poll period + %d ms of its host time" % CALL_SLACK_MS, str(late[:5]))
    inits = [w["t"] for w in got if w["name"] == "Init"]
    if inits:
        c.figure("first_init_after_load_ms", inits[0])
    for a, b in zip(got, got[1:]):
        if a["name"] in ("Destroy", "InitI2c", "GetGPIO", "SetupDiGetClassDevsA") and b["name"] == "Init":
            c.figure("reconnect_ms", b["t"] - a["t"])
    c.check(all(x["call"].startswith(("Open(0)", "Close(0)", "GetGPIO(0,")) for x in calls
                if x["name"] in ("Open", "Close", "GetGPIO")), "device index 0 in every call")


def analyse_service(c, directory, meta):
    host = read_host_run(os.path.join(directory, "host_run.txt"))
    args = host.get("service", "").split()
    poll_ms = int(args[3]) if len(args) == 5 else 0
    capture_lines = read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")) or []
    loads = [line for line in capture_lines if line.split()[4:5] and line.split()[4].startswith("Load(")]
    load_unix_us = int(loads[0].split()[0]) if loads else 0
    calls = since_load(capture_lines, load_unix_us, parse_capture_log)
    reports = since_load(read_lines(os.path.join(directory, "virtual_hid_reports.log")), load_unix_us,
                         parse_reports)
    hid_calls = since_load(read_lines(os.path.join(directory, "virtual_hid.log")), load_unix_us, parse_hid_log)
    statuses = parse_status_reports(read_lines(os.path.join(directory, "session.log")))
    trace = parse_trace(read_lines(os.path.join(directory, "trace.log")))
    try:
        with open(os.path.join(directory, "service_stdout.log"), "rb") as f:
            stdout_raw = f.read()
    except FileNotFoundError:
        stdout_raw = b""
    stdout = [line.rstrip("\r") for line in read_lines(os.path.join(directory, "service_stdout.log")) or []]
    service_pid = statuses[0]["pid"] if statuses else None
    traces = trace_texts(trace, str(int(service_pid, 16)) if service_pid else None)

    check_no_crash(c, directory)
    c.check(host["end"] is not None, "the host run of the same scenario (joyvane_scenario)")
    if meta.get("started") != "1" or host["end"] is None:
        c.check(False, "service reached RUNNING", meta.get("start_error", ""))
        return
    c.check(True, "service reached RUNNING (sc start, joyvane_ctl wait)")
    c.check(meta.get("stopped") == "1", "service reached STOPPED after sc stop", meta.get("stop_error", ""))
    if meta.get("sc_stop_status", "0") != "0":
        lost = any("failed to read pipe" in line for line in read_lines(os.path.join(directory, "session.log")) or [])
        print("note %s: sc stop exited with %s%s" % (
            c.name, meta["sc_stop_status"],
            " (Wine's services.exe lost the control handler's reply as the stopped service ended)" if lost else ""))
    check_status_sequence(c, statuses)
    c.check("ZUR Joyvane: INIT - VideoCaptureResources...." in traces,
            "trace \"ZUR Joyvane: INIT - VideoCaptureResources....\"", "trace: %s" % traces[:5])
    check_process_exit(c, hid_calls)
    if stdout_raw:
        c.check(stdout_raw.count(b"\n") == stdout_raw.count(b"\r\n") and stdout_raw.endswith(b"\r\n"),
                "standard output lines end in CR LF (text mode)", repr(stdout_raw[:80]))
    c.check([line for line in stdout if line] == [line for line in host["stdout"] if line],
            "standard output as on the host: %s" % host["stdout"], str(stdout))
    ours = [t.lower() for t in traces if t.startswith("ZUR Joyvane:")]
    missing = [t for t in host["trace"] if t.lower() not in ours]
    c.check(not missing and [t for t in ours if t in [h.lower() for h in host["trace"]]] ==
            [h.lower() for h in host["trace"] if h.lower() in ours],
            "the host run's trace lines, in order: %s" % host["trace"], "missing %s" % missing)
    flavour = host.get("library", "")
    c.check([x["call"] for x in calls if x["name"] == "Load"] == ["Load(%s)" % flavour],
            "the %s capture library was loaded once" % flavour)
    if not loads:
        return
    check_report_bytes(c, reports)
    stop_t = (int(meta.get("stop_us", "0")) - load_unix_us) / 1000.0
    c.figure("stop_after_load_ms", stop_t)
    check_reports_against_host(c, host, reports, calls, stop_t, poll_ms)
    check_calls_against_host(c, host, calls, hid_calls, poll_ms)
    host_polls = sum(1 for x in host["calls"] if x["name"] == "GetGPIO" and x["result"] == "0")
    polls = sum(1 for x in calls if x["name"] == "GetGPIO" and x["result"] == "0")
    c.check((polls > 0) == (host_polls > 0), "the button polled %s, as on the host (%d polls)" % (
        "at all" if host_polls else "never", polls))
    if polls:
        check_polls(c, calls, poll_ms, reports)
    # How long the stop takes: the deadline when the worker is stuck in the
    # library, at once otherwise.
    stuck = host["end"] >= host_stop(host) + 1000
    if stuck:
        check_stop_time(c, statuses, STOP_BLOCKED_MS[0], STOP_BLOCKED_MS[1], "stop_library_blocked_ms",
                        "stop with the library blocked: the 1001 ms deadline, then the idle report")
    else:
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_ms", "the stop ends every pause at once")
        check_worker_exit(c, calls, statuses)
    pending, stopped = stop_times(statuses)
    taken = [r for r in reports if r["status"] == "ok"]
    if stopped is not None:
        # Wine's +timestamp is in whole milliseconds (floored): a report up to 1 ms
        # past the stopped line may still have come first.
        c.check(not [r for r in taken if r["ms"] > stopped + 1], "no report taken after stopped",
                str([(value_of(r), r["ms"] - stopped) for r in taken if r["ms"] > stopped + 1]))


def analyse_start_failure(c, directory, meta):
    """The service stops by itself at start with the expected Win32 exit code;
    every report before stopped carries exit code 0; no message box."""
    check_no_crash(c, directory)
    expected = int(meta["expect_exit"])
    statuses = parse_status_reports(read_lines(os.path.join(directory, "session.log")))
    calls = parse_capture_log(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")))
    reports = parse_reports(read_lines(os.path.join(directory, "virtual_hid_reports.log")))
    c.check(meta.get("stopped") == "1", "the service stopped by itself after sc start",
            meta.get("stop_error", ""))
    c.figure("start_failure_ms", float(meta.get("stopped_after_ms", "nan")))
    query = meta.get("query", "")
    c.check(" exit=%d " % expected in query + " ",
            "the service manager keeps Win32 exit code %d (sc query)" % expected, query)
    stopped = [s for s in statuses if s["state"] == 1]
    c.check(len(stopped) == 1 and stopped[0]["exit"] == expected,
            "one stopped report, with exit code %d" % expected,
            str([(s["state"], s["exit"]) for s in statuses]))
    c.check(all(s["exit"] == 0 for s in statuses if s["state"] != 1),
            "every report before stopped has exit code 0")
    c.check(not reports, "nothing sent to the joystick", "%d reports" % len(reports))
    if expected == 87:
        c.check(not calls, "the capture library was never loaded")
    took = float(meta.get("stopped_after_ms", "1e9"))
    c.check(took < 3000, "stopped within 3 s of sc start (nothing waits for a message box)",
            "%.0f ms" % took)


def analyse_library_wait(c, directory, meta):
    """The service runs without a usable capture library and waits for it: it
    reports running, stops only for the stop control, every report carries exit
    code 0, and a stop while it waits is prompt."""
    check_no_crash(c, directory)
    statuses = parse_status_reports(read_lines(os.path.join(directory, "session.log")))
    states = [s["state"] for s in statuses]
    c.check(4 in states, "the service reported RUNNING", str(states))
    c.check(states.count(1) == 1 and states[-1:] == [1] and 3 in states
            and states.index(3) < states.index(1),
            "stopped once, after the stop control's stop-pending", str(states))
    c.check(all(s["exit"] == 0 for s in statuses), "every report has exit code 0",
            str([(s["state"], s["exit"]) for s in statuses]))
    pending = [s for s in statuses if s["state"] == 3]
    stopped = [s for s in statuses if s["state"] == 1]
    if pending and stopped and pending[0]["ms"] is not None and stopped[-1]["ms"] is not None:
        took = stopped[-1]["ms"] - pending[0]["ms"]
        if meta.get("stop_while_waiting") == "1":
            c.figure("stop_waiting_for_library_ms", took)
            c.check(took <= STOP_PROMPT_MS, "stop-pending to stopped while waiting within %d ms"
                    % STOP_PROMPT_MS, "%.1f ms" % took)
    if "copy_to_poll_ms" in meta:
        c.figure("library_copy_to_poll_ms", float(meta["copy_to_poll_ms"]))


def analyse_console(c, directory, meta):
    trace = parse_trace(read_lines(os.path.join(directory, "trace.log")))
    calls = parse_capture_log(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")))
    reports = parse_reports(read_lines(os.path.join(directory, "virtual_hid_reports.log")))
    check_no_crash(c, directory)
    elapsed = int(meta.get("elapsed_ms", "-1"))
    c.figure("console_exit_ms", elapsed)
    c.check(meta.get("exit") == "0", "exits with status 0", "status %s" % meta.get("exit"))
    c.check(0 <= elapsed <= 15000,
            "exits by itself, %d ms after it was started (Wine's dispatcher gives up after ~10 s)" % elapsed)
    texts = [x["text"] for x in trace]
    want = ["ZUR Joyvane: INIT - VideoCaptureResources....", "ZUR Joyvane: .... Error 4", "ZUR Joyvane: 17476"]
    ours = [t for t in texts if t.startswith("ZUR Joyvane:")]
    c.check(ours == want, "trace lines in order: %s" % " / ".join(want), str(ours))
    pids = {x["pid"] for x in trace if x["text"].startswith("ZUR Joyvane:")}
    c.check(len(pids) == 1, "all from one process")
    if len(ours) == 3:
        t = {x["text"]: x["ms"] for x in trace}
        c.figure("console_dispatcher_fail_ms", t[want[1]] - t[want[0]])
    c.check(not calls, "the worker never started (capture library not loaded)")
    c.check(not reports, "nothing sent to the joystick")


def analyse_arguments(c, directory, meta):
    check_no_crash(c, directory)
    console = read_lines(os.path.join(directory, "console.log")) or []
    calls = parse_capture_log(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")))
    reports = parse_reports(read_lines(os.path.join(directory, "virtual_hid_reports.log")))
    c.check(any('MSGBOX_OnInit L"Error: Wrong number of arguments !"' in line for line in console),
            "message box \"Error: Wrong number of arguments !\" shown")
    c.check(meta.get("blocked") == "1", "the message box waits for its OK (ended by the harness after %s ms)" % meta.get("wait_ms"))
    c.check(meta.get("gone") == "1", "the process is gone after it was ended")
    c.check(not calls and not reports, "nothing started: no capture library, no report")


def analyse_install(c, directory, meta):
    check_no_crash(c, directory)
    calls = parse_capture_log(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")))
    polls = [x for x in calls if x["name"] == "GetGPIO"]
    c.check(len(polls) > 5, "the installed service ran and polled the button (%d polls)" % len(polls))
    c.check([x["call"] for x in calls[-3:]] == ["Close(0)", "Destroy()", "Unload(FreeLibrary)"],
            "uninstall stopped it in order (Close, Destroy, FreeLibrary)", str([x["call"] for x in calls[-3:]]))
    session = read_lines(os.path.join(directory, "session.log")) or []
    fixme = [line for line in session if "SERVICE_CONFIG_FAILURE_ACTIONS" in line]
    c.check(any("period 86400" in line for line in fixme),
            "sc failure reached the service manager with reset= 86400 (Wine stores no failure actions)",
            str(fixme))


def cmd_check(directory):
    meta = read_meta(directory)
    name = meta.get("name", os.path.basename(directory))
    c = Checker(name)
    kind = meta.get("kind", "buttons")
    try:
        if kind == "console":
            analyse_console(c, directory, meta)
        elif kind == "arguments":
            analyse_arguments(c, directory, meta)
        elif kind == "install":
            analyse_install(c, directory, meta)
        elif kind == "start-fails":
            analyse_start_failure(c, directory, meta)
        elif kind == "library-wait":
            analyse_library_wait(c, directory, meta)
        else:
            analyse_service(c, directory, meta)
    except Exception as error:  # a log the analysis cannot read is a failure, not a crash
        c.check(False, "logs readable by the analysis", "%s: %s" % (type(error).__name__, error))
    with open(os.path.join(directory, "figures.json"), "w") as f:
        json.dump({"name": name, "kind": kind, "order": int(meta.get("order", "0")), "args": meta.get("args", ""), "flavour": meta.get("flavour", ""),
                   "figures": c.figures, "passed": c.passed, "failed": c.failed}, f, indent=1)
    return 0 if c.failed == 0 else 1


# --- summary ------------------------------------------------------------------


def stats(values):
    if not values:
        return "-"
    v = sorted(values)
    return "median %.1f, min %.1f, max %.1f (n=%d)" % (statistics.median(v), v[0], v[-1], len(v))


def cmd_summary(e2e_dir, total_s=None):
    scenarios = []
    for entry in os.listdir(e2e_dir):
        path = os.path.join(e2e_dir, entry, "figures.json")
        if os.path.isfile(path):
            with open(path) as f:
                scenarios.append(json.load(f))
    scenarios.sort(key=lambda s: s.get("order", 0))
    merged = {}
    for s in scenarios:
        for key, values in s["figures"].items():
            merged.setdefault(key, []).extend(values)

    def m(key):
        return merged.get(key, [])

    lines = ["Measured figures (milliseconds; Wine 8 on this machine)", ""]
    lat = m("press_to_report_ms")
    if lat:
        lines.append("press/release to report latency : median %.1f, worst %.1f (n=%d; includes waiting for the next poll)"
                     % (statistics.median(lat), max(lat), len(lat)))
    ptr = m("poll_to_report_ms")
    if ptr:
        lines.append("poll to report                  : median %.2f, worst %.2f (n=%d)" % (statistics.median(ptr), max(ptr), len(ptr)))
    for key in sorted(k for k in merged if k.startswith("click_ms_")):
        lines.append("click length, %4s ms configured : %s" % (key[9:], stats(merged[key])))
    lines.append("long-press fire after its poll   : %s (configured 800)" % stats(m("long_press_fire_ms")))
    lines.append("mode 0 hold minus the host's     : %s" % stats(m("hold_error_ms")))
    lines.append("report minus the host's time     : %s" % stats(m("report_minus_host_ms")))
    lines.append("stop, worker answering           : %s (at most %d)" % (stats(m("stop_ms")), STOP_PROMPT_MS))
    lines.append("stop with the library blocked    : %s (%d-%d)" % ((stats(m("stop_library_blocked_ms")),) + STOP_BLOCKED_MS))
    lines.append("stopped after the worker left    : %s (expected about 0)" % stats(m("stopped_after_worker_ms")))
    lines.append("first Init after library load    : %s (expected about 1000)" % stats(m("first_init_after_load_ms")))
    lines.append("library copied in to first poll  : %s (at most 2000)" % stats(m("library_copy_to_poll_ms")))
    lines.append("stop, waiting for the library    : %s (at most %d)" % (stats(m("stop_waiting_for_library_ms")), STOP_PROMPT_MS))
    lines.append("reconnect, close to next Init    : %s (expected about 1000)" % stats(m("reconnect_ms")))
    lines.append("console start: exit after        : %s (dispatcher failure after %s)" % (stats(m("console_exit_ms")), stats(m("console_dispatcher_fail_ms"))))
    lines.append("")
    lines.append("stop-pending to stopped per scenario:")
    for s in scenarios:
        f = s["figures"]
        for key in ("stop_ms", "stop_library_blocked_ms"):
            if key in f:
                lines.append("  %-22s %6.0f  (stop request %.0f ms after the library loaded)" % (
                    s["name"], f[key][0], f.get("stop_after_load_ms", [float("nan")])[0]))
    lines.append("")
    lines.append("poll period per scenario (median / max, configured):")
    for s in scenarios:
        f = s["figures"]
        if "poll_period_median_ms" in f:
            lines.append("  %-22s %6.1f / %6.1f  (%d)" % (s["name"], f["poll_period_median_ms"][0],
                                                        f["poll_period_max_ms"][0], f["poll_period_configured_ms"][0]))
    lines.append("")
    counts = {}
    for line in read_lines(os.path.join(e2e_dir, "results.txt")) or []:
        m = re.match(r"^(ok|FAIL) +([^:]+):", line)
        if m:
            entry = counts.setdefault(m.group(2), [0, 0])
            entry[0 if m.group(1) == "ok" else 1] += 1
    lines.append("scenarios:")
    for s in scenarios:
        passed, failed = counts.get(s["name"], (s["passed"], s["failed"]))
        lines.append("  %-22s %-8s %-14s %3d passed, %d failed" % (s["name"], s.get("flavour") or "-", s.get("args") or "-",
                                                                passed, failed))
    if total_s is not None:
        lines.append("")
        lines.append("total run time: %s s" % total_s)
    text = "\n".join(lines) + "\n"
    with open(os.path.join(e2e_dir, "figures.txt"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "check":
        return cmd_check(argv[2])
    if len(argv) >= 3 and argv[1] == "summary":
        return cmd_summary(argv[2], argv[3] if len(argv) > 3 else None)
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
