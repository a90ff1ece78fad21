#!/usr/bin/env python3
"""Draws the timing diagram of one run of joyvane_service.exe under Wine with
our stand-ins: the capture button as the service's polls read it, against the
joystick buttons as its feature reports set them. tools/demo runs it after each
run (README.md in this folder).

    draw_timing.py LOG_DIR T0_US ARGS OUT_SVG [AT:LENGTH ...]

    LOG_DIR    the stand-ins' ZUR_USBIO_KAD.log and virtual_hid.log and,
               optionally, service.times ("running", "stop", "stopped" lines
               with unix microseconds)
    T0_US      time zero of the diagram, unix microseconds
    ARGS       the service's command line, "BUTTON MODE INVERTED POLL CLICK"
    AT:LENGTH  the presses of the button script, in milliseconds after the
               capture library was loaded; drawn as shaded bands

The logs are read with tests/e2e/call_log.py; the button decoding here is
shared with the demo's live printer (tools/demo.d/events.py). Only standard
Python 3.
"""

import html
import os
import sys

# This folder is documentation: no __pycache__ may appear in it, nor beside the reader.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import call_log as cl  # noqa: E402

MODE_NAMES = {0: "follow", 1: "pulse", 2: "short/long press"}


class Decoder:
    """Which joystick buttons a report shows down. With inverted values a
    button is down when its bit is cleared; only the buttons the service uses
    are decoded (button b, and b + 1 in mode 2)."""

    def __init__(self, button, mode, inverted):
        self.buttons = [button, button + 1] if mode == 2 else [button]
        self.inverted = inverted == 1

    def down(self, value):
        result = {}
        for n in self.buttons:
            bit_set = bool(value & (1 << (n - 1) if 1 <= n <= 8 else 0))
            result[n] = bit_set != self.inverted
        return result


def svg_diagram(log_dir, t0_us, button, mode, inverted, args, presses, out):
    decoder = Decoder(button, mode, inverted)
    capture = cl.read(os.path.join(log_dir, "ZUR_USBIO_KAD.log"))
    load = cl.first(capture, "Load")
    load_s = (load.unix_us - t0_us) / 1e6 if load else None
    # (t_s, state) of every successful poll, (t_s, value) of every report taken
    polls = [((r.unix_us - t0_us) / 1e6, int(r.get("state", "0")))
             for r in cl.select(capture, "ZUR_USBIO_API_GetGPIO", result="0")]
    reports = [((r.unix_us - t0_us) / 1e6, cl.report_value(r))
               for r in cl.reports(cl.read(os.path.join(log_dir, "virtual_hid.log")), taken=True)]
    times = {}
    for line in cl.read_lines(os.path.join(log_dir, "service.times")):
        f = line.split()
        if len(f) == 2:
            times[f[0]] = (int(f[1]) - t0_us) / 1e6
    script = []     # physical presses of the button script, in seconds since start
    if load_s is not None:
        script = [(load_s + at / 1000.0, load_s + (at + length) / 1000.0) for at, length in presses]

    end = max([times.get("stopped", 0)] + [t for t, _ in polls] + [t for t, _ in reports]) + 0.4
    px = 110.0                       # pixels per second
    left, right, top = 190, 30, 78
    lane_h, gap = 46, 26
    lanes = ["capture button (polled)"] + ["joystick button %d" % n for n in decoder.buttons]
    width = int(left + end * px + right)
    height = top + len(lanes) * (lane_h + gap) + 60

    def x(t):
        return left + max(0.0, t) * px

    out_lines = []
    add = out_lines.append
    add('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
        'font-family="DejaVu Sans, Arial, sans-serif" font-size="12">' % (width, height, width, height))
    add('<rect width="100%" height="100%" fill="white"/>')
    title = "Joyvane, mode %d (%s), button %d, %s values" % (
        mode, MODE_NAMES.get(mode, "?"), button, "inverted" if inverted == 1 else "normal")
    add('<text x="12" y="22" font-size="15" font-weight="bold">%s</text>' % html.escape(title))
    add('<text x="12" y="42" fill="#444">joyvane_service.exe %s under Wine with the stand-in capture library and '
        'virtual joystick; times from the service start; high = pressed%s</text>'
        % (html.escape(args), " (the joystick bits are active-low)" if inverted == 1 else ""))

    # grid and time axis
    axis_y = top + len(lanes) * (lane_h + gap) + 4
    t = 0.0
    while t <= end + 1e-9:
        whole = abs(t - round(t)) < 1e-9
        add('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="1"/>'
            % (x(t), top - 8, x(t), axis_y, "#d8d8d8" if whole else "#efefef"))
        if whole:
            add('<text x="%.1f" y="%d" text-anchor="middle" fill="#444">%d s</text>' % (x(t), axis_y + 16, round(t)))
        t += 0.5

    # service milestones
    for key, label, anchor in (("running", "running", "start"), ("stop", "stop requested", "end"),
                               ("stopped", "stopped", "start")):
        if key in times:
            add('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#7a5cc7" stroke-dasharray="4 3"/>'
                % (x(times[key]), top - 14, x(times[key]), axis_y))
            add('<text x="%.1f" y="%d" fill="#7a5cc7" text-anchor="%s">%s</text>'
                % (x(times[key]) + (3 if anchor == "start" else -3), top - 18, anchor, label))

    def lane_y(i):
        base = top + i * (lane_h + gap)
        return base + 6, base + lane_h   # high, low

    def waveform(i, segments, color):
        """segments: [(t_from, t_to, level)] with level True/False/None (unknown)."""
        hi, lo = lane_y(i)
        path = []
        for t_from, t_to, level in segments:
            if level is None:
                add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#bbb" stroke-dasharray="3 3"/>'
                    % (x(t_from), (hi + lo) / 2, x(t_to), (hi + lo) / 2))
                if path:
                    add('<path d="%s" fill="none" stroke="%s" stroke-width="2"/>' % (" ".join(path), color))
                    path = []
                continue
            y = hi if level else lo
            if not path:
                path.append("M%.1f %.1f" % (x(t_from), y))
            else:
                path.append("V%.1f" % y)
            path.append("H%.1f" % x(t_to))
            if level:
                add('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s" fill-opacity="0.13"/>'
                    % (x(t_from), hi, max(0.5, x(t_to) - x(t_from)), lo - hi, color))
        if path:
            add('<path d="%s" fill="none" stroke="%s" stroke-width="2"/>' % (" ".join(path), color))

    def label_pulses(i, segments, color):
        hi, _ = lane_y(i)
        for t_from, t_to, level in segments:
            if level and t_to - t_from < 5:
                add('<text x="%.1f" y="%.1f" text-anchor="middle" font-size="11" fill="%s">%d ms</text>'
                    % ((x(t_from) + x(t_to)) / 2, hi - 4, color, round((t_to - t_from) * 1000)))

    for i, name in enumerate(lanes):
        hi, lo = lane_y(i)
        add('<text x="12" y="%.1f">%s</text>' % ((hi + lo) / 2 + 4, html.escape(name)))
        add('<text x="%d" y="%.1f" font-size="10" fill="#888" text-anchor="end">down</text>' % (left - 8, hi + 4))
        add('<text x="%d" y="%.1f" font-size="10" fill="#888" text-anchor="end">up</text>' % (left - 8, lo))

    # lane 0: the script's presses as shaded bands, the polled state as the line
    hi, lo = lane_y(0)
    for a, b in script:
        add('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#f2c14e" fill-opacity="0.25"/>'
            % (x(a), hi - 4, x(b) - x(a), lo - hi + 8))
    segments = []
    if polls:
        segments.append((0.0, polls[0][0], None))
        level = polls[0][1] == 1
        start = polls[0][0]
        for t, state in polls[1:]:
            if state not in (1, 3):
                continue
            if (state == 1) != level:
                segments.append((start, t, level))
                start, level = t, state == 1
        segments.append((start, polls[-1][0], level))
        segments.append((polls[-1][0], end, None))
    waveform(0, segments, "#c77c02")
    label_pulses(0, segments, "#c77c02")

    # joystick lanes
    colors = ["#1f6fb2", "#2a9d55"]
    first_press_poll = []
    previous = None
    for t, state in polls:
        if state == 1 and previous != 1:
            first_press_poll.append(t)
        if state in (1, 3):
            previous = state
    for k, n in enumerate(decoder.buttons):
        segments = []
        if reports:
            segments.append((0.0, reports[0][0], None))
            level = decoder.down(reports[0][1])[n]
            start = reports[0][0]
            for t, value in reports[1:]:
                down = decoder.down(value)[n]
                if down != level:
                    segments.append((start, t, level))
                    start, level = t, down
            closed = times.get("stopped", reports[-1][0])
            segments.append((start, max(closed, reports[-1][0]), level))
            segments.append((max(closed, reports[-1][0]), end, None))
        waveform(k + 1, segments, colors[k % 2])
        label_pulses(k + 1, segments, colors[k % 2])
        # mode 2: mark the 800 ms from the poll that saw the press to the long click
        if mode == 2 and n == button + 1:
            hi, lo = lane_y(k + 1)
            for t_from, _, level in segments:
                if not level:
                    continue
                seen = [p for p in first_press_poll if 0.6 < t_from - p < 1.0]
                if seen:
                    p = seen[-1]
                    y = lo + 12
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555" stroke-width="1"/>'
                        % (x(p), y, x(t_from), y))
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555"/>' % (x(p), y - 4, x(p), y + 4))
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555"/>'
                        % (x(t_from), y - 4, x(t_from), y + 4))
                    add('<text x="%.1f" y="%.1f" text-anchor="middle" font-size="10" fill="#555">'
                        'held %d ms</text>' % ((x(p) + x(t_from)) / 2, y + 13, round((t_from - p) * 1000)))

    legend_y = height - 14
    add('<rect x="12" y="%d" width="14" height="10" fill="#f2c14e" fill-opacity="0.4"/>' % (legend_y - 9))
    add('<text x="32" y="%d" font-size="11" fill="#444">button script (what the capture device reports); '
        'lines: what the service read and what it wrote to the joystick; dashed grey: no connection</text>' % legend_y)
    add('</svg>')
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        f.write("\n".join(out_lines) + "\n")
    return 0


def main(argv):
    try:
        log_dir, t0_us, args, out = argv[1], int(argv[2]), argv[3], argv[4]
        button, mode, inverted, _, _ = (int(v) for v in args.split())
        presses = [tuple(int(v) for v in p.split(":")) for p in argv[5:]]
        if any(len(p) != 2 for p in presses):
            raise ValueError
    except (IndexError, ValueError):
        sys.stderr.write(__doc__)
        return 2
    return svg_diagram(log_dir, t0_us, button, mode, inverted, args, presses, out)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
