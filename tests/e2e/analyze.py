#!/usr/bin/env python3
"""analyze.py: the judge of an end-to-end scenario under Wine.

    analyze.py check DIR        one line per check ("ok ..." / "FAIL ..."); writes DIR/figures.json
    analyze.py summary E2E_DIR  the measured figures of every scenario; writes E2E_DIR/figures.txt
"""

# DIR holds what run.sh gathered for one scenario (scenario_collect): meta.env
# (run.sh's key=value lines), the call logs (read through call_log.py)
# host_run.txt (the same scenario on the simulated Windows, printed by
# build/host/tests/joyvane_scenario: the run this one is judged against),
# ZUR_USBIO_KAD.log, virtual_hid.log and trace.log, and service_stdout.log,
# session.log (Wine's +service/+timestamp trace), wine.log.
#
# What the service does is the host run's: its reports, library calls, trace,
# output, status reports and how long its stop takes. Only what Wine alone
# shows is judged on its own: the service manager's view of the status
# reports, crashes, text-mode output, the process's end, and the runs that
# have no host run (start failures, console, install, arguments). Times (t)
# are milliseconds since the capture library's Load record on the wall clock
# the stand-in logs share; Wine's +timestamp and so the status reports have
# only the monotonic clock (record.ms).

import json
import os
import re
import statistics
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import call_log as cl  # noqa: E402

# Tolerances of the Wine run against the exact host run, generous enough for
# Wine on a loaded two-core machine, tight enough to catch a wrong length, a
# lost report or a missing pause.
REPORT_SLACK_MS = 120           # a report comes at most one poll period + this late or early
TIMER_SLACK_MS = 60             # a click's length, timed by a pause or a timer
CALL_SLACK_MS = 150             # a library call against its host time, beyond one poll period
POLL_TO_REPORT_MS = 50          # from the poll that read a change to its report
STOP_SLACK_MS = 100             # a stop takes as long as on the host, plus the call or report under way
STOPPED_AFTER_WORKER_MS = (-1, 50)  # the +timestamp clock has whole milliseconds
# Roles of reports (the scenario's expect lines) that a poll sends, and of those a pause or timer ends.
POLL_ROLES = ("down", "up", "click", "short", "release")
TIMED_ROLES = ("click-end", "short-end", "long", "long-end")
LIBRARY = ("Init", "Open", "InitI2c", "GetGPIO", "Close", "Destroy")
LIBRARY_CALLS = tuple("ZUR_USBIO_API_" + name for name in LIBRARY)
CRASH_PATTERNS = ["Unhandled exception", "page fault", "wine: Unhandled", "backtrace", "stack overflow",
                  "Assertion", "err:seh"]
STATUS_ORDER = ("state", "checkpoint", "wait_hint", "accepted", "exit", "specific", "type")


def short(record):
    return record.call.replace("ZUR_USBIO_API_", "")


def is_poll(record):
    return record.call == "ZUR_USBIO_API_GetGPIO" and record.result == 0


def compared_calls(records):
    """The calls the Wine run must make as the host run made them: every
    library call but a successful poll, each blocked call and each joystick
    lookup, in time order."""
    return sorted((r for r in records if (r.call in LIBRARY_CALLS or r.call in ("Blocked", "SetupDiGetClassDevsA"))
                   and not is_poll(r)), key=lambda r: r.t)


def stop_times(statuses, clock):
    """(stop-pending, stopped) of the first stop-pending and the last stopped report."""
    pending = [clock(s) for s in statuses if s.args.get("state") == "3"]
    stopped = [clock(s) for s in statuses if s.args.get("state") == "1"]
    return (pending[0], stopped[-1]) if pending and stopped else (None, None)


class Scenario:
    """One scenario's logs, read through call_log.py."""

    def __init__(self, directory):
        self.dir = directory
        self.meta = dict(line.split("=", 1) for line in cl.read_lines(self.path("meta.env")) if "=" in line)
        self.capture = cl.read(self.path("ZUR_USBIO_KAD.log"))
        self.load = cl.first(self.capture, "Load")
        self.hid = cl.since_load(cl.read(self.path("virtual_hid.log")), self.load)
        cl.since_load(self.capture, self.load)
        self.reports = cl.reports(self.hid)
        self.trace = cl.read(self.path("trace.log"))
        self.session = cl.read_lines(self.path("session.log"))
        self.statuses = cl.service_statuses(self.session)

    def path(self, name):
        return os.path.join(self.dir, name)

    def texts(self, pid=None):
        return [r.args.get("text", "") for r in self.trace if pid is None or r.args.get("pid") == str(pid)]


class HostRun:
    """host_run.txt: the call log of the same scenario on the simulated Windows."""

    def __init__(self, path):
        self.records = cl.since_load(cl.read(path))
        scenario = (cl.first(self.records, "Scenario") or cl.Record(0, 0, 0, 0, "Scenario", 0, 0, {})).args
        self.flavour, self.stop = scenario.get("library", ""), int(scenario.get("stop", "0"))
        numbers = scenario.get("service", "").split()
        self.poll_ms = int(numbers[3]) if len(numbers) == 5 else 0
        self.reports = cl.reports(self.records)
        self.buttons = [(int(r.args["from"]), int(r.args["state"])) for r in cl.select(self.records, "Button")]
        self.calls = compared_calls(self.records)
        self.polls = [r for r in self.records if is_poll(r)]
        self.trace = [r.args.get("text", "") for r in cl.select(self.records, "OutputDebugStringA")]
        self.stdout = [r.args.get("text", "") for r in cl.select(self.records, "Stdout")]
        self.end = next((r.t for r in cl.select(self.records, "ExitProcess")), None)
        self.statuses = cl.select(self.records, "SetServiceStatus")
        pending, stopped = stop_times(self.statuses, lambda r: r.t)
        self.stop_took = stopped - pending if pending is not None else None
        # The product's constants: a stop as long as the worker's deadline let go of a stuck worker.
        deadline = next((int(r.args["stop_deadline_ms"]) for r in cl.select(self.records, "Product")), None)
        self.stuck = None not in (self.stop_took, deadline) and self.stop_took >= deadline


class Checker:
    def __init__(self, name):
        self.name, self.passed, self.failed, self.figures = name, 0, 0, {}

    def check(self, condition, what, detail=""):
        condition = bool(condition)
        self.passed, self.failed = self.passed + condition, self.failed + (not condition)
        print("ok   %s: %s" % (self.name, what) if condition else
              "FAIL %s: %s%s" % (self.name, what, " -- " + detail if detail else ""))
        return condition

    def figure(self, key, value):
        self.figures.setdefault(key, []).append(value)


# --- what only Wine shows -----------------------------------------------------


def check_no_crash(c, s):
    found = ["%s: %s" % (log, line.strip()[:160])
             for log in ("session.log", "wine.log", "console.log", "service_stderr.log")
             for line in cl.read_lines(s.path(log))
             if any(p.lower() in line.lower() for p in CRASH_PATTERNS)]
    c.check(not found, "no crash in Wine's logs (%s)" % ", ".join(CRASH_PATTERNS[:4]), "; ".join(found[:3]))


def check_process_exit(c, s):
    """Each joystick DLL the process loaded logs its unload at the process's
    exit, with no device-info set or preparsed data left open."""
    exits = cl.select(s.hid, "Unload", how="exit")
    loaded = sorted(r.args.get("dll") for r in cl.select(s.hid, "Load"))
    c.check(loaded and sorted(r.args.get("dll") for r in exits) == loaded,
            "the service process ended (%s unloaded at exit)" % " and ".join(loaded or ["hid", "setupapi"]),
            "exit unloads: %s" % exits)
    leaks = [r for r in exits if any(k.startswith("live_") and v not in ("", "0") for k, v in r.args.items())]
    c.check(not leaks, "no device-info set or preparsed data left open at exit", str(leaks))


def check_polls(c, s, poll_ms):
    """Median pause between two successful polls with nothing in between (no
    report, no other library call: a reconnection or a blocked call)."""
    gaps, last = [], None
    events = sorted([r for r in s.capture if r.call in LIBRARY_CALLS or r.call == "Blocked"] + s.reports,
                    key=lambda r: r.t)
    for r in events:
        if is_poll(r) and last is not None:
            gaps.append(r.t - last.t)
        last = r if is_poll(r) else None
    if not gaps:
        return c.check(False, "poll period", "no consecutive polls")
    median = statistics.median(gaps)
    c.figure("poll_period_median_ms", median)
    c.figure("poll_period_max_ms", max(gaps))
    c.figure("poll_period_configured_ms", poll_ms)
    c.check(poll_ms - 2 <= median <= poll_ms + 15, "poll period median %.1f ms for %d ms configured (max %.0f, %d polls)"
            % (median, poll_ms, max(gaps), len(gaps)))


# --- the Wine run against its host run -----------------------------------------


def check_statuses(c, s, host):
    want, got = ([tuple(int(r.args.get(k, -1)) for k in STATUS_ORDER) for r in run.statuses] for run in (host, s))
    c.check(want and got == want, "status reports as on the host, (%s): %s" % (",".join(STATUS_ORDER), want),
            "seen %s" % got)
    c.check(len({r.pid for r in s.statuses}) <= 1, "all status reports from one process")


def check_reports(c, s, host, stop_t):
    """Before the stop the reports are the host run's: the same bytes in the same
    order, each at the host's time give or take a poll period, and a click as
    long as on the host. After the stop which thread meets it first decides the
    order, so only the end counts: the idle value last."""
    poll_ms = host.poll_ms
    before_h = [r for r in host.reports if r.t < host.stop]
    after_h = [r.args.get("bytes") for r in host.reports if r.t >= host.stop]
    before_w = [r for r in s.reports if r.t < stop_t]
    after_w = [r.args.get("bytes") for r in s.reports if r.t >= stop_t and r.result == 1]
    want, got = [cl.report_text(r) for r in before_h], [cl.report_text(r) for r in before_w]
    sent = {r.args.get("bytes") for r in host.reports}
    c.check(all(r.args.get("bytes") in sent for r in s.reports),
            "every report is one the host run sent", str([r.args.get("bytes") for r in s.reports][:5]))
    c.check(got == want, "reports before the stop as on the host: %s" % (" | ".join(
        "%s %s" % (cl.report_value(r), r.args.get("role")) for r in before_h) or "none"), "got %s" % got)
    if after_h:
        c.check(after_w and after_w[-1] == after_h[-1],
                "after the stop the joystick's last report is %s, as on the host" % after_h[-1], str(after_w))
        c.check(all(b in after_h for b in after_w), "after the stop only values the host run sent after it",
                str(after_w))
    else:
        c.check(not after_w, "nothing sent after the stop, as on the host", str(after_w))
    if got != want:
        return
    polls = [r for r in s.capture if is_poll(r)]
    problems = []
    for k, (h, w) in enumerate(zip(before_h, before_w)):
        role = h.args.get("role")
        late = w.t - h.t
        c.figure("report_minus_host_ms", late)
        if abs(late) > poll_ms + REPORT_SLACK_MS:
            problems.append("%s at %.0f ms, host %d" % (role, w.t, h.t))
        if role in POLL_ROLES:
            cause = max([t for t, _ in host.buttons if t <= h.t], default=None)
            if cause is not None:
                # A release during a click is read at the first poll after the click.
                if role == "release" and k > 0:
                    cause = max(cause, before_w[k - 1].t)
                c.figure("press_to_report_ms", w.t - cause)
            seen = [p for p in polls if p.t <= w.t]
            if seen:
                c.figure("poll_to_report_ms", w.t - seen[-1].t)
                if w.t - seen[-1].t > POLL_TO_REPORT_MS:
                    problems.append("%s %.0f ms after its poll" % (role, w.t - seen[-1].t))
        if role == "long":
            # The long click comes a fixed time after the poll that saw the press.
            press = max([t for t, state in host.buttons if t <= h.t and state == 1], default=0)
            seen_w = next((p for p in polls if p.t >= press and p.get("state") == "1"), None)
            seen_h = next((p for p in host.polls if p.t >= press and p.get("state") == "1"), None)
            if seen_w and seen_h:
                fire, fire_h = w.t - seen_w.t, h.t - seen_h.t
                c.figure("long_press_fire_ms", fire)
                c.figure("long_press_fire_ms_host", fire_h)
                if abs(fire - fire_h) > TIMER_SLACK_MS + 20:
                    problems.append("long click %.0f ms after its poll, host %d" % (fire, fire_h))
        elif k > 0 and role in TIMED_ROLES + ("up",):
            gap_w, gap_h = w.t - before_w[k - 1].t, h.t - before_h[k - 1].t
            slack = poll_ms + 80 if role == "up" else TIMER_SLACK_MS
            c.figure("hold_error_ms" if role == "up" else "click_ms_%d" % gap_h,
                     gap_w - gap_h if role == "up" else gap_w)
            if abs(gap_w - gap_h) > slack:
                problems.append("%s %.0f ms after the report before it, host %d (+- %d)" % (role, gap_w, gap_h, slack))
    c.check(not problems, "every report on time: within a poll period + %d ms of the host's, a poll's report "
            "within %d ms of it, clicks within %d ms of the host's length" % (
                REPORT_SLACK_MS, POLL_TO_REPORT_MS, TIMER_SLACK_MS), "; ".join(problems))


def check_calls(c, s, host):
    """The calls in the host's order, each at its host time, those after the
    stop counted from the stop's arrival (stop-pending): sc stop takes a while."""
    poll_ms = host.poll_ms
    pending, _ = stop_times(s.statuses, lambda r: r.ms - s.load.ms)
    late_stop = pending - host.stop if pending is not None else 0

    def host_t(t):
        return t + (late_stop if t >= host.stop else 0)

    want = host.calls
    got = [r for r in compared_calls(s.capture + s.hid) if r.t <= host_t(host.end) + CALL_SLACK_MS + poll_ms]
    names_w, names_g = [short(r) for r in want], [short(r) for r in got]
    c.check(names_g == names_w, "library calls and joystick lookups in the host's order: %s (%d failed polls)" % (
        " ".join("%s@%d" % (short(r), r.t) for r in want if r.call != "ZUR_USBIO_API_GetGPIO"),
        names_w.count("GetGPIO")), "got %s" % " ".join("%s@%.0f" % (short(r), r.t) for r in got[:30]))
    devices = {r.get("device") for r in host.records if r.call in LIBRARY_CALLS and "device" in r.args}
    odd = [r for r in s.capture if r.call in LIBRARY_CALLS and "device" in r.args and r.args["device"] not in devices]
    c.check(not odd, "device index %s in every call, as on the host" % "/".join(sorted(devices)), str(odd[:3]))
    if names_g != names_w:
        return
    late = [(short(h), w.t - host_t(h.t)) for h, w in zip(want, got) if abs(w.t - host_t(h.t)) > poll_ms + CALL_SLACK_MS]
    c.check(not late, "each call within a poll period + %d ms of its host time" % CALL_SLACK_MS, str(late[:5]))
    for calls, suffix in ((got, ""), (want, "_host")):
        inits = [r.t for r in calls if r.call == LIBRARY_CALLS[0]]
        if inits:
            c.figure("first_init_after_load_ms" + suffix, inits[0])
        for a, b in zip(calls, calls[1:]):
            if short(a) in ("Destroy", "InitI2c", "GetGPIO", "SetupDiGetClassDevsA") and short(b) == "Init":
                c.figure("reconnect_ms" + suffix, b.t - a.t)


def check_stop(c, s, host):
    """The stop takes as long as on the host (the worker's deadline when it is
    stuck in the library, at once otherwise); nothing is sent after it, and a
    worker that answered leaves as on the host, right before stopped."""
    pending, stopped = stop_times(s.statuses, lambda r: r.ms)
    stuck = host.stuck
    if pending is None or host.stop_took is None:
        c.check(False, "stop-pending to stopped as on the host", "no stop-pending/stopped in a trace")
    else:
        key = "stop_library_blocked_ms" if stuck else "stop_ms"
        c.figure(key, stopped - pending)
        c.figure(key + "_host", host.stop_took)
        # A stop the worker answers may be shorter than on the virtual clock, where a
        # multimedia timer's click under way ends first (docs/architecture.md).
        c.check((host.stop_took - 1 if stuck else 0) <= stopped - pending <= host.stop_took + STOP_SLACK_MS,
                "stop-pending to stopped %.0f ms: %s the host's %d ms + %d" % (
                    stopped - pending, "the worker's deadline, from" if stuck else "at most", host.stop_took,
                    STOP_SLACK_MS))
        # Wine's +timestamp is in whole milliseconds (floored): a report up to 1 ms
        # past the stopped line may still have come first.
        late = [(cl.report_value(r), r.ms - stopped) for r in s.reports if r.result == 1 and r.ms > stopped + 1]
        c.check(not late, "no report taken after stopped", str(late))
    if stuck:
        return
    lib = [r for r in s.capture if r.call in LIBRARY_CALLS or r.call == "Unload"]
    tail_h = [short(r) for r in host.records if r.call in LIBRARY_CALLS][-2:] + ["Unload"]
    c.check([short(r) for r in lib[-3:]] == tail_h and lib[-1].get("how") == "FreeLibrary",
            "worker's exit: %s, FreeLibrary last" % ", ".join(tail_h[:-1]), "last calls %s" % lib[-3:])
    if pending is not None and lib:
        unload = lib[-1].ms
        c.figure("stopped_after_worker_ms", stopped - unload)
        c.check(STOPPED_AFTER_WORKER_MS[0] <= stopped - unload <= STOPPED_AFTER_WORKER_MS[1],
                "stopped reported %d-%d ms after the worker left (library unloaded)" % STOPPED_AFTER_WORKER_MS,
                "%.0f ms" % (stopped - unload))
        c.check(unload >= pending - 1, "the worker left only after the stop request",
                "unload %.0f ms before stop-pending" % (pending - unload))


def analyse_service(c, s):
    host = HostRun(s.path("host_run.txt"))
    meta = s.meta
    check_no_crash(c, s)
    c.check(host.end is not None, "the host run of the same scenario (joyvane_scenario)")
    if meta.get("started") != "1" or host.end is None:
        c.check(False, "service reached RUNNING", meta.get("start_error", ""))
        return
    c.check(True, "service reached RUNNING (sc start, joyvane_ctl wait)")
    c.check(meta.get("stopped") == "1", "service reached STOPPED after sc stop", meta.get("stop_error", ""))
    if meta.get("sc_stop_status", "0") != "0":
        lost = any("failed to read pipe" in line for line in s.session)
        print("note %s: sc stop exited with %s%s" % (
            c.name, meta["sc_stop_status"],
            " (Wine's services.exe lost the control handler's reply as the stopped service ended)" if lost else ""))
    check_statuses(c, s, host)
    check_process_exit(c, s)
    stdout_raw = open(s.path("service_stdout.log"), "rb").read() if os.path.exists(s.path("service_stdout.log")) else b""
    if stdout_raw:
        c.check(stdout_raw.count(b"\n") == stdout_raw.count(b"\r\n") and stdout_raw.endswith(b"\r\n"),
                "standard output lines end in CR LF (text mode)", repr(stdout_raw[:80]))
    stdout = stdout_raw.decode("latin-1").replace("\r", "").split("\n")
    c.check([line for line in stdout if line] == [line for line in host.stdout if line],
            "standard output as on the host: %s" % host.stdout, str(stdout))
    traces = [t.lower() for t in s.texts(s.statuses[0].pid if s.statuses else None)]
    want = [t.lower() for t in host.trace]
    missing = [t for t in want if t not in traces]
    c.check(want and not missing and [t for t in traces if t in want] == [t for t in want if t in traces],
            "the host run's trace lines, in order: %s" % host.trace, "missing %s" % missing)
    c.check([r.get("flavour") for r in cl.select(s.capture, "Load")] == [host.flavour],
            "the %s capture library was loaded once" % host.flavour)
    if s.load is None:
        return
    stop_t = (int(meta.get("stop_us", "0")) - s.load.unix_us) / 1000.0
    c.figure("stop_after_load_ms", stop_t)
    check_reports(c, s, host, stop_t)
    check_calls(c, s, host)
    polls = sum(1 for r in s.capture if is_poll(r))
    c.check((polls > 0) == bool(host.polls), "the button polled %s, as on the host (%d polls)" % (
        "at all" if host.polls else "never", polls))
    if polls:
        check_polls(c, s, host.poll_ms)
    check_stop(c, s, host)


# --- runs without a host run -----------------------------------------------------


def analyse_start_failure(c, s):
    """The service stops by itself at start with the expected Win32 exit code;
    every report before stopped carries exit code 0; no message box."""
    meta, expected = s.meta, int(s.meta["expect_exit"])
    check_no_crash(c, s)
    c.check(meta.get("stopped") == "1", "the service stopped by itself after sc start", meta.get("stop_error", ""))
    c.figure("start_failure_ms", float(meta.get("stopped_after_ms", "nan")))
    query = meta.get("query", "")
    c.check(" exit=%d " % expected in query + " ", "the service manager keeps Win32 exit code %d (sc query)" % expected,
            query)
    states = [(int(r.args["state"]), int(r.args["exit"])) for r in s.statuses]
    c.check([e for st, e in states if st == 1] == [expected], "one stopped report, with exit code %d" % expected,
            str(states))
    c.check(all(e == 0 for st, e in states if st != 1), "every report before stopped has exit code 0")
    c.check(not s.reports, "nothing sent to the joystick", "%d reports" % len(s.reports))
    if expected == 87:
        c.check(not s.capture, "the capture library was never loaded")
    took = float(meta.get("stopped_after_ms", "1e9"))
    c.check(took < 3000, "stopped within 3 s of sc start (nothing waits for a message box)", "%.0f ms" % took)


def analyse_library_wait(c, s):
    """The service runs without a usable capture library and waits for it: it
    reports running, stops only for the stop control, every report carries exit
    code 0, and a stop while it waits is prompt."""
    check_no_crash(c, s)
    states = [int(r.args["state"]) for r in s.statuses]
    c.check(4 in states, "the service reported RUNNING", str(states))
    c.check(states.count(1) == 1 and states[-1:] == [1] and 3 in states and states.index(3) < states.index(1),
            "stopped once, after the stop control's stop-pending", str(states))
    c.check(all(r.args["exit"] == "0" for r in s.statuses), "every report has exit code 0",
            str([(r.args["state"], r.args["exit"]) for r in s.statuses]))
    pending, stopped = stop_times(s.statuses, lambda r: r.ms)
    if pending is not None and s.meta.get("stop_while_waiting") == "1":
        c.figure("stop_waiting_for_library_ms", stopped - pending)
        c.check(stopped - pending <= STOP_SLACK_MS, "stop-pending to stopped while waiting within %d ms"
                % STOP_SLACK_MS, "%.1f ms" % (stopped - pending))
    if "copy_to_poll_ms" in s.meta:
        c.figure("library_copy_to_poll_ms", float(s.meta["copy_to_poll_ms"]))


def analyse_console(c, s):
    check_no_crash(c, s)
    elapsed = int(s.meta.get("elapsed_ms", "-1"))
    c.figure("console_exit_ms", elapsed)
    c.check(s.meta.get("exit") == "0", "exits with status 0", "status %s" % s.meta.get("exit"))
    c.check(0 <= elapsed <= 15000,
            "exits by itself, %d ms after it was started (Wine's dispatcher gives up after ~10 s)" % elapsed)
    want = ["ZUR Joyvane: INIT - VideoCaptureResources....", "ZUR Joyvane: .... Error 4", "ZUR Joyvane: 17476"]
    ours = [r for r in s.trace if r.args.get("text", "").startswith("ZUR Joyvane:")]
    c.check([r.args["text"] for r in ours] == want, "trace lines in order: %s" % " / ".join(want),
            str([r.args["text"] for r in ours]))
    c.check(len({r.args.get("pid") for r in ours}) == 1, "all from one process")
    if len(ours) == 3:
        c.figure("console_dispatcher_fail_ms", ours[1].ms - ours[0].ms)
    c.check(not s.capture, "the worker never started (capture library not loaded)")
    c.check(not s.reports, "nothing sent to the joystick")


def analyse_arguments(c, s):
    check_no_crash(c, s)
    c.check(any('MSGBOX_OnInit L"Error: Wrong number of arguments !"' in line for line in cl.read_lines(s.path("console.log"))),
            "message box \"Error: Wrong number of arguments !\" shown")
    c.check(s.meta.get("blocked") == "1",
            "the message box waits for its OK (ended by the harness after %s ms)" % s.meta.get("wait_ms"))
    c.check(s.meta.get("gone") == "1", "the process is gone after it was ended")
    c.check(not s.capture and not s.reports, "nothing started: no capture library, no report")


def analyse_install(c, s):
    check_no_crash(c, s)
    polls = cl.select(s.capture, "ZUR_USBIO_API_GetGPIO")
    c.check(len(polls) > 5, "the installed service ran and polled the button (%d polls)" % len(polls))
    tail = [r for r in s.capture if r.call in LIBRARY_CALLS or r.call == "Unload"][-3:]
    c.check([short(r) for r in tail] == ["Close", "Destroy", "Unload"] and tail[-1].get("how") == "FreeLibrary",
            "uninstall stopped it in order (Close, Destroy, FreeLibrary)", str(tail))
    fixme = [line for line in s.session if "SERVICE_CONFIG_FAILURE_ACTIONS" in line]
    c.check(any("period 86400" in line for line in fixme),
            "sc failure reached the service manager with reset= 86400 (Wine stores no failure actions)", str(fixme))


KINDS = {"console": analyse_console, "arguments": analyse_arguments, "install": analyse_install,
         "start-fails": analyse_start_failure, "library-wait": analyse_library_wait}


def cmd_check(directory):
    c = Checker(os.path.basename(directory))
    try:
        s = Scenario(directory)
        c.name = s.meta.get("name", c.name)
        KINDS.get(s.meta.get("kind"), analyse_service)(c, s)
    except Exception as error:  # a log the analysis cannot read is a failure, not a crash
        s = None
        c.check(False, "logs readable by the analysis", "%s: %s" % (type(error).__name__, error))
    meta = s.meta if s else {}
    with open(os.path.join(directory, "figures.json"), "w") as f:
        json.dump({"name": c.name, "kind": meta.get("kind", "service"), "order": int(meta.get("order", "0")),
                   "args": meta.get("args", ""), "flavour": meta.get("flavour", ""), "figures": c.figures,
                   "passed": c.passed, "failed": c.failed}, f, indent=1)
    return 0 if c.failed == 0 else 1


# --- summary ------------------------------------------------------------------


# The summary's lines: figure, what it is, what it is held against (a figure of
# the host run, or a bound).
SUMMARY = [("press_to_report_ms", "press/release to report latency", "includes waiting for the next poll"),
           ("poll_to_report_ms", "poll to report", ""),
           ("long_press_fire_ms", "long-press fire after its poll", "_host"),
           ("hold_error_ms", "mode 0 hold minus the host's", ""),
           ("report_minus_host_ms", "report minus the host's time", ""),
           ("stop_ms", "stop, worker answering", "_host"),
           ("stop_library_blocked_ms", "stop with the library blocked", "_host"),
           ("stopped_after_worker_ms", "stopped after the worker left", "expected about 0"),
           ("first_init_after_load_ms", "first Init after library load", "_host"),
           ("library_copy_to_poll_ms", "library copied in to first poll", "at most 2000"),
           ("stop_waiting_for_library_ms", "stop, waiting for the library", "at most %d" % STOP_SLACK_MS),
           ("reconnect_ms", "reconnect, close to next Init", "_host"),
           ("console_exit_ms", "console start: exit after", ""),
           ("console_dispatcher_fail_ms", "console start: dispatcher failure", "")]


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
    clicks = [("click_ms_%s" % n, "click length, %4s ms configured" % n, "")
              for n in sorted({k[9:] for k in merged if k.startswith("click_ms_")}, key=int)]
    lines = ["Measured figures (milliseconds; Wine 8 on this machine)", ""]
    for key, what, against in SUMMARY[:2] + clicks + SUMMARY[2:]:
        against = "host run: " + stats(merged.get(key + against)) if against == "_host" else against
        lines.append("%-33s: %s%s" % (what, stats(merged.get(key)), " (%s)" % against if against else ""))
    lines += ["", "stop-pending to stopped per scenario:"]
    for s in scenarios:
        for key in ("stop_ms", "stop_library_blocked_ms"):
            if key in s["figures"]:
                lines.append("  %-22s %6.0f  (stop request %.0f ms after the library loaded)" % (
                    s["name"], s["figures"][key][0], s["figures"].get("stop_after_load_ms", [float("nan")])[0]))
    lines += ["", "poll period per scenario (median / max, configured):"]
    lines += ["  %-22s %6.1f / %6.1f  (%d)" % (s["name"], *(s["figures"]["poll_period_%s_ms" % k][0] for k in (
        "median", "max", "configured"))) for s in scenarios if "poll_period_median_ms" in s["figures"]]
    counts = {}
    for found in filter(None, (re.match(r"^(ok|FAIL) +([^:]+):", line)
                               for line in cl.read_lines(os.path.join(e2e_dir, "results.txt")))):
        counts.setdefault(found.group(2), [0, 0])[found.group(1) != "ok"] += 1
    lines += ["", "scenarios:"] + ["  %-22s %-8s %-14s %3d passed, %d failed" % (
        s["name"], s.get("flavour") or "-", s.get("args") or "-", *counts.get(s["name"], (s["passed"], s["failed"])))
        for s in scenarios]
    if total_s is not None:
        lines += ["", "total run time: %s s" % total_s]
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
