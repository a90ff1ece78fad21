#!/usr/bin/env python3
"""Checks one end-to-end scenario of joyvane_service.exe from the logs that
run.sh collected, and summarises the measured figures of a whole run.

    analyze.py check DIR        prints one line per check ("ok ..." / "FAIL ...")
                                and writes DIR/figures.json
    analyze.py summary E2E_DIR  prints the measured figures of every scenario
                                and writes E2E_DIR/figures.txt

DIR holds what run.sh gathered for one scenario (see run.sh, collect_logs):

    meta.env                    key=value: name, kind, args, flavour, ...
    ZUR_USBIO_KAD.log           capture library stand-in, every call
    ZUR_USBIO_KAD.scenario      the button script the library played
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
CLICK_TOLERANCE_MS = 60         # a click of N ms lasts N +- 60 ms
LONG_PRESS_MS = 800             # long-press delay from the poll that saw the press
LONG_PRESS_TOLERANCE_MS = 80
LONG_CLICK_MS = 250             # the long-press click has a fixed length
PRESS_LATENCY_SLACK_MS = 120    # press to report: at most one poll period + slack
POLL_TO_REPORT_MS = 50          # from the poll that read a change to its report
RECONNECT_PAUSE_MS = 1000
RECONNECT_WINDOW_MS = (990, 1300)
# Every pause of the worker ends when a stop is requested: a stop takes as long as
# the library call or report under way, whatever the worker is doing.
STOP_PROMPT_MS = 100
STOP_BLOCKED_MS = (1000, 1100)   # the library blocks: the stop's deadline of 1001 ms
# stopped follows the worker's leaving at once (the +timestamp clock has whole ms)
STOPPED_AFTER_WORKER_MS = (-1, 50)

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
        entry = {"ms": int(f[1]) / 1000.0, "pid": f[2], "tid": f[3], "call": f[4], "result": f[5]}
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
        reports.append({"ms": int(f[1]) / 1000.0, "tid": f[3], "status": f[4], "bytes": f[5:]})
    return reports


def parse_hid_log(lines):
    calls = []
    for line in lines or []:
        f = line.split(None, 4)
        if len(f) < 5:
            continue
        calls.append({"ms": int(f[1]) / 1000.0, "pid": f[2], "tid": f[3], "text": f[4],
                      "name": f[4].split("(")[0]})
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


def parse_scenario(lines):
    """press T D / button T down|up|N lines of the capture library's scenario."""
    steps = []
    for line in lines or []:
        f = line.split("#", 1)[0].split()
        if len(f) == 3 and f[0] == "press":
            steps.append(("press", int(f[1]), int(f[2])))
        elif len(f) == 3 and f[0] == "button":
            steps.append(("button", int(f[1]), f[2]))
    return steps


# --- the button model ---------------------------------------------------------


def button_bit(n):
    return 1 << (n - 1) if 1 <= n <= 8 else 0


def button_number(text):
    m = re.match(r"\s*([+-]?\d+)", text)
    n = int(m.group(1)) if m else 0
    return n if 2 <= n <= 7 else 1


def masks(mode, b, inverted):
    first, second = button_bit(b), button_bit(b + 1)
    if inverted == 1 and mode == 2:
        return second, first, first + second
    if inverted == 1:
        return 0, second, first
    return first, second, 0


def report_bytes(value):
    return ["%02x" % x for x in (0, 0, 0, (value & 0x0F) << 4, (value & 0xFF0) >> 4)]


def value_of(report):
    b = [int(x, 16) for x in report["bytes"]]
    if len(b) != 5:
        return None
    return (b[3] >> 4) | (b[4] << 4)


def expected_reports(mode, press, second, idle, pulse, steps):
    """The reports the service should send for the scenario's presses, with the
    role of each: [(value, role, press index)]. Presses are assumed far enough
    apart (the scenarios are written so)."""
    out = [(idle, "open", None)]
    presses = []
    for step in steps:
        if step[0] == "press":
            presses.append((step[1], step[2]))
        elif step[0] == "button" and step[2] == "down":
            presses.append((step[1], None))  # held over the stop
    for i, (t, d) in enumerate(presses):
        if mode == 0:
            out.append((press, "down", i))
            if d is not None:
                out.append((idle, "up", i))
        elif mode == 1:
            out.append((press, "click", i))
            out.append((idle, "click-end", i))
            if d is not None:
                out.append((idle, "release", i))
        elif mode == 2:
            if d is None:
                continue  # stopped while armed: nothing may follow
            if d < LONG_PRESS_MS:
                out.append((press, "short", i))
                out.append((idle, "short-end", i))
            else:
                out.append((second, "long", i))
                out.append((idle, "long-end", i))
    out.append((idle, "stop", None))
    return out, presses


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


def fmt(values):
    return "[" + ", ".join("%.0f" % v for v in values) + "]"


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
    bad = [r["bytes"] for r in reports if value_of(r) is None or r["bytes"] != report_bytes(value_of(r))
           or r["bytes"][0] != "00"]
    c.check(reports is not None and not bad, "every report is 5 bytes, id 0, value in bytes 3-4",
            "bad: %s" % bad[:3])


def check_reports_exact(c, reports, expected_values):
    got = [value_of(r) for r in reports if r["status"] == "ok"]
    want = list(expected_values)
    c.check(got == want, "report values in order %s" % want, "got %s" % got)
    got_bytes = [" ".join(r["bytes"]) for r in reports if r["status"] == "ok"]
    want_bytes = [" ".join(report_bytes(v)) for v in want]
    c.check(got_bytes == want_bytes, "report bytes in order: %s" % " | ".join(dict.fromkeys(want_bytes)),
            "got %s" % got_bytes)
    refused = [r for r in reports if r["status"] != "ok"]
    c.check(not refused, "no report refused by the device", "%d refused" % len(refused))
    return got == want


def check_worker_exit(c, calls, statuses, kind):
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


def first_press_polls(calls, presses):
    """For each press (T, D): the first poll at or after T that read 'down'."""
    polls = [x for x in calls if x["name"] == "GetGPIO" and x["result"] == "0"]
    found = []
    for t, _ in presses:
        hit = next((p for p in polls if p.get("t", -1) >= t and p.get("state") == 1), None)
        found.append(hit)
    return found


def first_release_polls(calls, presses):
    polls = [x for x in calls if x["name"] == "GetGPIO" and x["result"] == "0"]
    found = []
    for t, d in presses:
        if d is None:
            found.append(None)
            continue
        hit = next((p for p in polls if p.get("t", -1) >= t + d and p.get("state") == 3), None)
        found.append(hit)
    return found


def check_button_timing(c, meta, calls, reports, expected, presses, load_ms, pulse, poll_ms):
    ok_reports = [r for r in reports if r["status"] == "ok"]
    press_polls = first_press_polls(calls, presses)
    release_polls = first_release_polls(calls, presses)
    c.check(all(p is not None for p in press_polls), "every press was seen by a poll",
            "missed presses %s" % [presses[i] for i, p in enumerate(press_polls) if p is None])
    latencies, poll_to_report, clicks, long_fires, holds = [], [], [], [], []
    problems = []
    for k, ((value, role, i), report) in enumerate(zip(expected, ok_reports)):
        if i is None:
            continue
        t, d = presses[i]
        nominal_press = load_ms + t
        prev = ok_reports[k - 1]["ms"] if k > 0 else None
        if role in ("down", "click"):
            lat = report["ms"] - nominal_press
            latencies.append(lat)
            if press_polls[i] is not None:
                poll_to_report.append(report["ms"] - press_polls[i]["ms"])
            if not -5 <= lat <= poll_ms + PRESS_LATENCY_SLACK_MS:
                problems.append("press %d: report %.0f ms after the press" % (i, lat))
        elif role in ("up", "short", "release"):
            nominal_release = load_ms + t + d
            lat = report["ms"] - nominal_release
            if role == "release":
                # after a click the release is read at the first poll after it ends
                lat = report["ms"] - max(nominal_release, prev)
            latencies.append(lat)
            if release_polls[i] is not None and role != "release":
                poll_to_report.append(report["ms"] - release_polls[i]["ms"])
            if not -5 <= lat <= poll_ms + PRESS_LATENCY_SLACK_MS:
                problems.append("release %d: report %.0f ms after the release" % (i, lat))
            if role == "up":
                hold = report["ms"] - prev
                holds.append((hold, d))
                if abs(hold - d) > poll_ms + 80:
                    problems.append("press %d: button held %.0f ms for a %d ms press" % (i, hold, d))
        elif role in ("click-end", "short-end"):
            length = report["ms"] - prev
            clicks.append((length, pulse))
            if abs(length - pulse) > CLICK_TOLERANCE_MS:
                problems.append("press %d: click of %.0f ms, configured %d" % (i, length, pulse))
        elif role == "long":
            if press_polls[i] is not None:
                fire = report["ms"] - press_polls[i]["ms"]
                long_fires.append(fire)
                if abs(fire - LONG_PRESS_MS) > LONG_PRESS_TOLERANCE_MS:
                    problems.append("press %d: long click %.0f ms after the press was seen" % (i, fire))
        elif role == "long-end":
            length = report["ms"] - prev
            clicks.append((length, LONG_CLICK_MS))
            if abs(length - LONG_CLICK_MS) > CLICK_TOLERANCE_MS:
                problems.append("press %d: long click of %.0f ms" % (i, length))
    for lat in latencies:
        c.figure("press_to_report_ms", lat)
    for v in poll_to_report:
        c.figure("poll_to_report_ms", v)
    for length, configured in clicks:
        c.figure("click_ms_%d" % configured, length)
    for fire in long_fires:
        c.figure("long_press_fire_ms", fire)
    for hold, d in holds:
        c.figure("hold_error_ms", hold - d)
    if latencies:
        c.check(all(-5 <= x <= poll_ms + PRESS_LATENCY_SLACK_MS for x in latencies),
                "press/release to report within one poll period + %d ms: %s" % (PRESS_LATENCY_SLACK_MS, fmt(latencies)))
    if poll_to_report:
        c.check(all(0 <= x <= POLL_TO_REPORT_MS for x in poll_to_report),
                "report within %d ms of the poll that read the change: %s" % (POLL_TO_REPORT_MS, fmt(poll_to_report)))
    for length, configured in clicks:
        c.check(abs(length - configured) <= CLICK_TOLERANCE_MS,
                "click of %.0f ms for %d +- %d ms" % (length, configured, CLICK_TOLERANCE_MS))
    for fire in long_fires:
        c.check(abs(fire - LONG_PRESS_MS) <= LONG_PRESS_TOLERANCE_MS,
                "long-press click %.0f ms after the poll that saw the press (%d +- %d)" % (fire, LONG_PRESS_MS, LONG_PRESS_TOLERANCE_MS))
    for hold, d in holds:
        c.check(abs(hold - d) <= poll_ms + 80, "button held %.0f ms for a %d ms press (+- poll + 80)" % (hold, d))
    if problems:
        c.check(False, "timing of every report", "; ".join(problems))


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


def analyse_service(c, directory, meta):
    kind = meta.get("kind", "buttons")
    args = meta["args"].split()
    b = button_number(args[0])
    mode, inverted, poll_ms, pulse = (int(x) for x in args[1:5])
    press, second, idle = masks(mode, b, inverted)
    calls = parse_capture_log(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.log")))
    reports = parse_reports(read_lines(os.path.join(directory, "virtual_hid_reports.log")))
    hid_calls = parse_hid_log(read_lines(os.path.join(directory, "virtual_hid.log")))
    statuses = parse_status_reports(read_lines(os.path.join(directory, "session.log")))
    trace = parse_trace(read_lines(os.path.join(directory, "trace.log")))
    steps = parse_scenario(read_lines(os.path.join(directory, "ZUR_USBIO_KAD.scenario")))
    try:
        with open(os.path.join(directory, "service_stdout.log"), "rb") as f:
            stdout_raw = f.read()
    except FileNotFoundError:
        stdout_raw = b""
    stdout = [line.rstrip("\r") for line in read_lines(os.path.join(directory, "service_stdout.log")) or []]
    service_pid = statuses[0]["pid"] if statuses else None
    service_pid_dec = str(int(service_pid, 16)) if service_pid else None
    traces = trace_texts(trace, service_pid_dec)

    check_no_crash(c, directory)
    if meta.get("started") != "1":
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

    if kind == "joystick-restart":
        analyse_joystick_restart(c, calls, reports, statuses, press, idle, trace_texts(trace))
        return
    if kind in ("stop-in-long-click", "library-blocked"):
        analyse_stop(c, kind, calls, reports, statuses, press, second, idle)
        return
    if kind == "library-absent":
        c.check(not calls, "no capture library loaded (none present)")
        c.check("ZUR Joyvane: 126" in traces, "trace \"ZUR Joyvane: 126\" (module not found)", str(traces))
        c.check(not reports, "nothing sent to the joystick", "%d reports" % len(reports))
        c.check(not [x for x in hid_calls if x["name"].startswith("SetupDi") or x["name"].startswith("HidD")],
                "the joystick was never looked for")
        c.check(meta.get("running_later") == "1", "service still RUNNING %s ms after the worker ended" % meta.get("hold_ms", "?"))
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_no_worker_ms", "stop with no worker")
        return

    flavour = meta.get("flavour")
    loads = [x["call"] for x in calls if x["name"] == "Load"]
    c.check(loads == ["Load(%s)" % flavour], "the %s capture library was loaded once" % flavour, str(loads))
    if calls:
        load_ms = calls[0]["ms"]
    else:
        c.check(False, "capture library log present")
        return

    inits = [x for x in calls if x["name"] == "Init"]
    if inits:
        first = inits[0]["ms"] - load_ms
        c.figure("first_init_after_load_ms", first)
        c.check(RECONNECT_WINDOW_MS[0] <= first <= RECONNECT_WINDOW_MS[1],
                "first Init %.0f ms after the library loaded (one-second pause first)" % first)
    check_report_bytes(c, reports)

    if kind == "buttons":
        expected, presses = expected_reports(mode, press, second, idle, pulse, steps)
        exact = check_reports_exact(c, reports, [v for v, _, _ in expected])
        order = [x["name"] for x in calls if x["name"] in ("Init", "Open", "InitI2c", "GetGPIO", "Close", "Destroy")]
        c.check(order[:3] == ["Init", "Open", "InitI2c"] and order.count("Init") == 1 and order.count("Close") == 1,
                "one connection: Init, Open(0), InitI2c, polls, then Close(0), Destroy at the stop",
                "calls %s" % [n for n in order if n != "GetGPIO"])
        c.check(sum(1 for x in calls if x["call"].startswith("Open(") and x["call"] != "Open(0)") == 0
                and all(x["call"].startswith("GetGPIO(0,") for x in calls if x["name"] == "GetGPIO"),
                "device index 0 in every call")
        c.check(stdout.count(" Destroy_ZUR_GP: OK ") == 1 and len([l for l in stdout if l]) == 1,
                "standard output: \" Destroy_ZUR_GP: OK \" once, nothing else", str(stdout))
        if exact:
            check_button_timing(c, meta, calls, reports, expected, presses, load_ms, pulse, poll_ms)
        check_polls(c, calls, poll_ms, reports)
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_connected_ms", "stop while connected")
        check_worker_exit(c, calls, statuses, kind)

    elif kind == "reconnect":
        # gpio fails in a window while connected: close, reopen a second later.
        expected, presses = expected_reports(mode, press, second, idle, pulse, steps)
        values = [v for v, _, _ in expected]
        values = values[:1] + [idle, idle] + values[1:]   # idle at the close, idle at the reopen
        check_reports_exact(c, reports, values)
        failed = [x for x in calls if x["name"] == "GetGPIO" and x["result"] != "0"]
        c.check(len(failed) == 1, "exactly one failed poll (the connection is closed at once)",
                "%d failed polls" % len(failed))
        if failed:
            f = failed[0]
            after = [x for x in calls if x["ms"] > f["ms"]]
            names = [x["name"] for x in after]
            c.check(names[:3] == ["Close", "Destroy", "Init"] and after[0]["call"] == "Close(0)",
                    "after the failed poll: Close(0), Destroy(), then a new Init", str([x["call"] for x in after[:4]]))
            c.check(names[:6] == ["Close", "Destroy", "Init", "Open", "InitI2c", "GetGPIO"],
                    "the new connection: Init, Open(0), InitI2c, first poll", str(names[:6]))
            new_init = next((x for x in after if x["name"] == "Init"), None)
            if new_init:
                gap = new_init["ms"] - f["ms"]
                c.figure("reconnect_after_failure_ms", gap)
                c.check(RECONNECT_WINDOW_MS[0] <= gap <= RECONNECT_WINDOW_MS[1],
                        "reconnected %.0f ms after the failed poll (about 1000)" % gap)
                # the joystick was released and opened again
                closed_reports = [r for r in reports if f["ms"] <= r["ms"] <= new_init["ms"]]
                c.check(len(closed_reports) == 1 and value_of(closed_reports[0]) == idle,
                        "idle report sent when the connection closed", str([r["bytes"] for r in closed_reports]))
                finds = [x for x in hid_calls if x["name"] == "SetupDiGetClassDevsA"]
                c.check(len(finds) == 2 and finds[1]["ms"] > new_init["ms"],
                        "the joystick was looked up again for the new connection", "%d lookups" % len(finds))
        c.check(stdout.count(" Destroy_ZUR_GP: OK ") == 2 and len([l for l in stdout if l]) == 2,
                "standard output: \" Destroy_ZUR_GP: OK \" at the failure and at the stop", str(stdout))
        # the press after the reconnect still works
        expected_after = [(v, r, i) for v, r, i in expected]
        if presses:
            pp = first_press_polls(calls, presses)
            c.check(all(p is not None for p in pp), "the press after the reconnect was seen")
        check_polls(c, calls, poll_ms, reports)
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_connected_ms", "stop while connected")
        check_worker_exit(c, calls, statuses, kind)

    elif kind == "first-poll-fails":
        # every poll fails until the second connection: the first connection's
        # first poll and its 101 retries fail; it is abandoned without Close.
        inits_t = [x["ms"] for x in inits]
        first_conn = [x for x in calls if x["name"] == "GetGPIO" and len(inits_t) > 1 and inits_t[0] <= x["ms"] < inits_t[1]]
        c.check(len(first_conn) == 102 and all(x["result"] != "0" for x in first_conn),
                "first connection: the first poll and 101 immediate retries, all failed",
                "%d polls" % len(first_conn))
        if first_conn:
            spread = first_conn[-1]["ms"] - first_conn[0]["ms"]
            c.figure("retries_spread_ms", spread)
            c.check(spread < 200, "the retries run back to back (%.0f ms for all)" % spread)
        between = [x["name"] for x in calls if len(inits_t) > 1 and inits_t[0] <= x["ms"] < inits_t[1] and x["name"] != "GetGPIO"]
        c.check(between == ["Init", "Open", "InitI2c"], "the abandoned connection is not closed (no Close/Destroy)", str(between))
        c.check(any(t == "ZUR Joyvane: Error: Get_GPIO after Init" for t in traces),
                "trace \"ZUR Joyvane: Error: Get_GPIO after Init\"", str(traces))
        if len(inits_t) > 1 and first_conn:
            gap = inits_t[1] - first_conn[-1]["ms"]
            c.figure("reconnect_after_abandon_ms", gap)
            c.check(RECONNECT_WINDOW_MS[0] <= gap <= RECONNECT_WINDOW_MS[1],
                    "next connection %.0f ms after the last retry (about 1000)" % gap)
            # before the new joystick lookup the old joystick is released (idle report)
            second_lookup = [x for x in hid_calls if x["name"] == "SetupDiGetClassDevsA" and x["ms"] > inits_t[1]]
            released = [x for x in hid_calls if x["name"] == "HidD_SetFeature" and inits_t[1] <= x["ms"]
                        and (not second_lookup or x["ms"] < second_lookup[0]["ms"])]
            c.check(len(released) == 1 and second_lookup,
                    "the abandoned joystick is released (idle report) before it is opened again",
                    "%d reports before the lookup" % len(released))
        check_reports_exact(c, reports, [idle, idle, idle, idle])
        c.check(stdout.count(" Destroy_ZUR_GP: OK ") == 2 and len([l for l in stdout if l]) == 2,
                "standard output: \" Destroy_ZUR_GP: OK \" when released and at the stop", str(stdout))
        later = [x for x in calls if len(inits_t) > 1 and x["ms"] > inits_t[1] and x["name"] == "GetGPIO"]
        c.check(later and all(x["result"] == "0" for x in later), "the second connection polls normally")
        check_worker_exit(c, calls, statuses, kind)

    elif kind == "joystick-absent":
        c.check(not reports and not [x for x in hid_calls if x["name"] == "HidD_SetFeature"],
                "nothing sent (no HidD_SetFeature)")
        c.check(not [x for x in calls if x["name"] == "GetGPIO"], "no poll without a joystick")
        gaps = [b["ms"] - a["ms"] for a, b in zip(inits, inits[1:])]
        for g in gaps:
            c.figure("open_attempt_period_ms", g)
        c.check(len(inits) >= 3 and all(RECONNECT_WINDOW_MS[0] <= g <= RECONNECT_WINDOW_MS[1] for g in gaps),
                "open attempts every second: %d attempts, gaps %s" % (len(inits), fmt(gaps)))
        seq = [x["name"] for x in calls if x["name"] in ("Init", "Open", "InitI2c")]
        c.check(seq == ["Init", "Open", "InitI2c"] * len(inits), "each attempt: Init, Open(0), InitI2c")
        lookups = [x for x in hid_calls if x["name"] == "SetupDiGetClassDevsA"]
        c.check(len(lookups) == len(inits), "the joystick is looked for at every attempt (%d)" % len(lookups))
        errors = [t for t in traces if t == "ZUR Joyvane: Error:Init_ZUR_GP"]
        c.check(len(errors) == len(inits), "trace \"ZUR Joyvane: Error:Init_ZUR_GP\" at every attempt",
                "%d traces for %d attempts" % (len(errors), len(inits)))
        c.check(len([l for l in stdout if l]) == 1 and stdout.count(" failed CloseHandle ") == 1,
                "standard output: only \" failed CloseHandle \" (the exit's close finds no joystick)", str(stdout))
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_reconnecting_ms",
                        "stop during the one-second reconnect pause, which it ends")
        pending, stopped = stop_times(statuses)
        before = [x for x in inits if pending is not None and x["ms"] <= pending]
        if before:
            c.figure("stop_request_after_attempt_ms", pending - before[-1]["ms"])
        check_worker_exit(c, calls, statuses, kind)
    else:
        c.check(False, "known scenario kind", kind)


def analyse_joystick_restart(c, calls, reports, statuses, press, idle, traces):
    """A report refused on the joystick whose driver restarted counts as a lost
    connection: the worker closes and reopens, and the joystick works again."""
    refused = [r for r in reports if r["status"] != "ok"]
    c.check(bool(refused), "a report was refused on the handle that outlived the restart")
    if not refused:
        return
    first_refused = refused[0]["ms"]
    closes = [x for x in calls if x["call"] == "Close(0)" and x["ms"] >= first_refused]
    inits = [x for x in calls if x["name"] == "Init" and x["ms"] > first_refused]
    c.check(bool(closes) and closes[0]["ms"] - first_refused < 100,
            "the next poll counted as failed: the capture connection closed at once",
            str([x["ms"] - first_refused for x in closes[:1]]))
    if closes and inits:
        c.figure("reconnect_after_refused_ms", inits[0]["ms"] - closes[0]["ms"])
        c.check(RECONNECT_WINDOW_MS[0] <= inits[0]["ms"] - closes[0]["ms"] <= RECONNECT_WINDOW_MS[1],
                "reopened about a second later (%d-%d ms)" % RECONNECT_WINDOW_MS,
                "%.0f ms" % (inits[0]["ms"] - closes[0]["ms"]))
    later = [value_of(r) for r in reports if r["status"] == "ok" and inits and r["ms"] > inits[0]["ms"]]
    c.check(later[:1] == [idle] and press in later and later[-1] == idle,
            "after the reopen the joystick takes the idle report, the press and its release",
            str(later))
    c.check(not [r for r in refused if inits and r["ms"] > inits[0]["ms"]],
            "nothing refused after the reopen")


def analyse_stop(c, kind, calls, reports, statuses, press, second, idle):
    """A stop while a button is down: inside the long click of mode 2, or in
    follow mode while the library blocks a poll. Either way the idle value is the
    last report the joystick takes, before stopped, and nothing follows it."""
    pending, stopped = stop_times(statuses)
    if pending is None or stopped is None:
        c.check(False, "timed stop-pending and stopped in the trace")
        return
    taken = [r for r in reports if r["status"] == "ok"]
    # Wine's +timestamp is in whole milliseconds (floored): a report up to 1 ms
    # past the stopped line may still have come first.
    stopped += 1
    before = [r for r in taken if r["ms"] <= stopped]
    c.check(bool(before) and value_of(before[-1]) == idle,
            "the last report before stopped is the idle value %d" % idle,
            str([value_of(r) for r in before[-4:]]))
    c.check(not [r for r in taken if r["ms"] > stopped], "no report taken after stopped",
            str([(value_of(r), r["ms"] - stopped) for r in taken if r["ms"] > stopped]))
    if kind == "stop-in-long-click":
        clicks = [r for r in taken if value_of(r) == second and r["ms"] <= pending]
        c.check(bool(clicks) and pending < clicks[-1]["ms"] + LONG_CLICK_MS,
                "the stop came inside the long click (value %d)" % second,
                "click at %s, stop-pending at %.0f" % ([r["ms"] for r in clicks], pending))
        check_stop_time(c, statuses, 0, STOP_PROMPT_MS, "stop_in_long_click_ms",
                        "stop during the long click")
    else:
        blocked = [x for x in calls if x["name"] == "Blocked" and x["ms"] <= pending]
        c.check(bool(blocked), "a poll was blocked in the library when the stop came")
        c.check(any(value_of(r) == press for r in taken if r["ms"] <= pending),
                "button %d was down when the stop came" % press)
        check_stop_time(c, statuses, STOP_BLOCKED_MS[0], STOP_BLOCKED_MS[1], "stop_library_blocked_ms",
                        "stop with the library blocked: the 1001 ms deadline, then the idle report")


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
    lines.append("long-press fire after the press  : %s (configured 800)" % stats(m("long_press_fire_ms")))
    lines.append("mode 0 hold minus press length   : %s" % stats(m("hold_error_ms")))
    lines.append("stop while connected            : %s (at most %d)" % (stats(m("stop_connected_ms")), STOP_PROMPT_MS))
    lines.append("stop during the reconnect pause : %s (at most %d)" % (stats(m("stop_reconnecting_ms")), STOP_PROMPT_MS))
    lines.append("stop with no worker (no library): %s (at most %d)" % (stats(m("stop_no_worker_ms")), STOP_PROMPT_MS))
    lines.append("stop during a long click        : %s (at most %d)" % (stats(m("stop_in_long_click_ms")), STOP_PROMPT_MS))
    lines.append("stop with the library blocked   : %s (%d-%d)" % ((stats(m("stop_library_blocked_ms")),) + STOP_BLOCKED_MS))
    lines.append("stopped after the worker left   : %s (expected about 0)" % stats(m("stopped_after_worker_ms")))
    lines.append("first Init after library load   : %s (expected about 1000)" % stats(m("first_init_after_load_ms")))
    lines.append("reconnect after a failed poll   : %s (expected about 1000)" % stats(m("reconnect_after_failure_ms")))
    lines.append("reconnect after a refused report: %s (expected about 1000)" % stats(m("reconnect_after_refused_ms")))
    lines.append("reconnect after 101 retries     : %s; retries took %s" % (stats(m("reconnect_after_abandon_ms")), stats(m("retries_spread_ms"))))
    lines.append("open attempts, joystick absent  : %s (expected 1000)" % stats(m("open_attempt_period_ms")))
    lines.append("  (stop request came %s ms after the last open attempt)" % stats(m("stop_request_after_attempt_ms")))
    lines.append("console start: exit after       : %s (dispatcher failure after %s)" % (stats(m("console_exit_ms")), stats(m("console_dispatcher_fail_ms"))))
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
