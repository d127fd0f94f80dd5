#!/usr/bin/env python3
"""Whole runs of the agent under Wine, timed as its callers see them, beside
the floor of what they could cost on the same machine.

Four sets of N runs each, in one invocation, every run started by the runner
stand-in (which times it):
  sim+runner   the requester simulator, -ExternallyInitiated: the runner thaws at once
  sim+server   the requester simulator, default mode against the management server
  vss+runner   the real requester against the shadow-copy stand-in, -ExternallyInitiated
  vss+server   the real requester against the shadow-copy stand-in, default mode
The management server stand-in answers at once, on the thread that was
waiting in accept() for the connection, and records after answering.

Per set, median and p90:
  window  the writers' frozen window: the shadow-copy stand-in's own measure
          (quiesced set -> thaw seen, microseconds) in vss sets; in sim sets
          the agent's log, "Now quiesced" -> "Setting thaw event" (1 ms steps)
  floor   default mode: one checkpoint GET from the bare client stand-in
          (OrvelBareClient: the agent's session flags, ping closed first)
          against the same server in this same invocation, N times, each in
          a fresh process (as each agent run is) with the agent's own median
          time between the ping's end and the checkpoint (the freeze lies
          between them); printed beside it, the same GET N times in one
          process, back to back and with that gap between rounds (which
          parts the machine idling for the gap and the fresh process),
          whichever of the three is lowest being the floor the goals use;
          runner mode: the runner's own hold, freeze-complete seen -> thaw-start
          set (its hold_us)
  share   window - floor, per run (default mode against the floor's median):
          what the agent itself adds to the frozen window
          (in runner mode the share still holds the four event wake-ups the
          window is made of; their floor alone is printed: OrvelBareEvents)
  run     the whole run as the runner saw it (start to exit)
  outside the phases the agent does not control, from its log: the provider
          service start when it was stopped, the two bcdedit launches, the
          final wait for the runner's read notification
  own     run - outside: the agent's own time, Wine's process start and end
          included (printed beside it: the whole run of a program that only
          prints its usage, started by the same runner)
Every set also shows where the window goes, from the agent's run record
(performance counter): frozen, the agent's own measure of the window; status
write, its first step (the section opened and mapped anew, as every write
does); GET, the checkpoint request (runner mode: the runner's hold); rest,
everything else (records, events, the wake-ups in runner mode); and in
default mode the gap, ping end -> checkpoint start (log).
Goals, printed with met/missed: default-mode window <= floor + 1 ms median and
<= floor + 3 ms p90 (floor: its median); runner-mode share <= 0.5 ms median and
<= 2 ms p90; own <= 50 ms median.

Run inside scripts/wine-harness:  bench/e2e_bench.py <Windows build folder> [N]
"""
import importlib.machinery
import json
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = ("sim+runner", "sim+server", "vss+runner", "vss+server")


def load_timeline():
    path = os.path.join(HERE, "..", "scripts", "run-timeline")
    loader = importlib.machinery.SourceFileLoader("run_timeline", path)
    found = importlib.util.spec_from_loader("run_timeline", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


TIMELINE = load_timeline()


def win(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True).stdout.strip()


def wine(*args, env=None, timeout=120):
    return subprocess.run(["wine", *args], capture_output=True, text=True, env=env, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def fields(line, separator=None):
    return dict(piece.split("=", 1) for piece in line.rstrip("\r\n").split(separator) if "=" in piece)


def p90(values):
    ordered = sorted(values)
    return ordered[max(0, int(round(0.9 * len(ordered))) - 1)]


def last_run(log_path):
    with open(log_path, encoding="utf-8", errors="replace") as log:
        return TIMELINE.split_runs(log.read())[-1]


def outside_ms(run):
    """The run's time in phases the agent does not control, from its log."""
    rows, _, _ = TIMELINE.analyse(run)
    total = 0
    for row in rows:
        if row.instant or row.duration is None:
            continue
        if row.phase.key == "provider" and row.note == "started":
            total += row.duration
        elif row.phase.key == "final":
            total += row.duration
    records = run.records
    for i, rec in enumerate(records[:-1]):
        # Each launch is the time from its announcement to the agent's next record.
        if rec.msg in ("Disabling Windows Error Recovery...", "Enabling Windows Error Recovery..."):
            total += records[i + 1].ms - rec.ms
    return total


def log_window_ms(run):
    quiesced = next(r.ms for r in run.records if r.msg.startswith("Now quiesced"))
    thaw = next(r.ms for r in run.records if r.msg.startswith("Setting thaw event"))
    return float(thaw - quiesced)


class Bench:
    def __init__(self, build, runs):
        self.build = build
        self.runs = runs
        self.binary = os.path.join(build, "bin")
        logs = os.path.join(os.environ["WINEPREFIX"], "drive_c/ProgramData/Orvel/logs")
        self.log = os.path.join(logs, "OrvelVssAgent.exe.current.log.txt")
        self.records = os.path.join(logs, "OrvelVssAgent.exe.runs.jsonl")
        self.work = tempfile.mkdtemp()
        self.env = dict(os.environ)
        self.env["WINEPATH"] = win(os.path.join(build, "testbed-path"))
        self.env["ORVEL_VSS_STANDIN_CONFIG"] = win(self.file("vss.cfg"))
        self.env["ORVEL_VSS_STANDIN_RECORD"] = win(self.file("vss.record"))
        self.env["ORVEL_BCDEDIT_RECORD"] = win(self.file("bcdedit.record"))
        self.vss_env = dict(self.env, WINEDLLOVERRIDES=self.env.get("WINEDLLOVERRIDES", "") + ";vssapi=n")
        with open(self.file("vss.cfg"), "w") as cfg:
            cfg.write("writer=Database Writer|1|0\n")
        self.server = None
        self.port = None

    def file(self, name):
        return os.path.join(self.work, name)

    def program(self, name):
        return os.path.join(self.binary, name)

    def start_server(self):
        self.server = subprocess.Popen(
            ["wine", self.program("OrvelManagementServer.exe"), "--port", "0", "--ready-file",
             win(self.file("port")), "--record", win(self.file("requests")), "--lifetime-ms", "3600000"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(1200):
            if os.path.exists(self.file("port")) and open(self.file("port")).read().strip():
                break
            time.sleep(0.05)
        self.port = open(self.file("port")).read().strip()

    def one_run(self, name):
        simulated, external = name.startswith("sim"), name.endswith("runner")
        # Waits the runs do not need are configured away; what is left of them
        # is counted among the phases the agent does not control.
        with open(self.file("tweaks_extension.txt"), "w") as tweaks:
            tweaks.write("t_requesterSimulativeVss=%d\n" % simulated)
            if not external:
                tweaks.write("t_requesterEventWaitForSharedMemoryReadTimeoutMsec=0\n")
        for record in ("vss.record", "bcdedit.record"):
            if os.path.exists(self.file(record)):
                os.remove(self.file(record))
        args = [] if external else ["--", "127.0.0.1", self.port, "0.0.0.0", "0", "bench"]
        out = wine(self.program("OrvelRunner.exe"), "--cwd", win(self.work), *args,
                   env=self.env if simulated else self.vss_env)
        found = [l for l in out.stdout.splitlines() if l.startswith("RUNNER ")]
        if not found:
            sys.exit("%s run: the runner printed no result (exit %s): %s %s"
                     % (name, out.returncode, out.stdout[-2000:], out.stderr[-2000:]))
        line = fields(found[0])
        if line["exit_code"] != "0":
            sys.exit("%s run failed: %s" % (name, line))
        run = last_run(self.log)
        if simulated:
            window = log_window_ms(run)
        else:
            with open(self.file("vss.record")) as record:
                freeze = next(fields(l, "\t") for l in record if "\tfreeze=" in l)
            window = int(freeze["held_us"]) / 1000.0
        hold = int(line["hold_us"]) / 1000.0 if external else None
        whole = float(line["exit_ms"])
        inside = window_parts(run, self.records, hold)
        return window, hold, whole, float(outside_ms(run)), inside

    def bare_client(self, runs, gap_ms):
        """The bare client's checkpoint round trips, in ms, on the agent's own path."""
        with open(self.file("requests")) as record:
            path = [fields(l, "\t")["path"] for l in record if "\tkind=checkpoint" in l][-1]
        out = wine(self.program("OrvelBareClient.exe"), "--port", self.port, "--path", path, "--runs",
                   str(runs), "--gap-ms", str(gap_ms), env=self.env)
        line = next((l for l in out.stdout.splitlines() if l.startswith("BARECLIENT")), "")
        if out.returncode != 0 or "checkpoint_us=" not in line:
            sys.exit("the bare client failed: %s" % (line or out.stderr))
        return [int(us) / 1000.0 for us in fields(line)["checkpoint_us"].split(",")]

    def floors(self, gap_ms):
        """Fresh processes at the agent's gap, and back to back in one process."""
        fresh = [self.bare_client(1, gap_ms)[0] for _ in range(self.runs)]
        return fresh, self.bare_client(self.runs, 0), self.bare_client(self.runs, gap_ms)

    def empty_runs(self):
        """Whole runs of a program that only prints its usage, started and timed by the runner: what
        Wine's process start and end cost on their own, in ms."""
        times = []
        for _ in range(self.runs):
            out = wine(self.program("OrvelRunner.exe"), "--agent", win(self.program("OrvelBareEvents.exe")),
                       "--", "--help", env=self.env)
            found = [l for l in out.stdout.splitlines() if l.startswith("RUNNER ")]
            if not found or fields(found[0])["exit_code"] != "0":
                sys.exit("the empty run failed: %s %s" % (out.stdout[-2000:], out.stderr[-2000:]))
            times.append(float(fields(found[0])["exit_ms"]))
        return times

    def bare_events(self):
        """The externally initiated window's four wake-ups alone, in ms (OrvelBareEvents)."""
        out = wine(self.program("OrvelBareEvents.exe"), "--rounds", str(self.runs), env=self.env)
        line = next((l for l in out.stdout.splitlines() if l.startswith("BAREEVENTS")), "")
        if out.returncode != 0 or "window_us=" not in line:
            sys.exit("the bare events program failed: %s" % (line or out.stderr))
        return [int(us) / 1000.0 for us in fields(line)["window_us"].split(",")]

    def server_times(self):
        """The server's share of each checkpoint: accept -> read whole -> answer sent, in ms."""
        with open(self.file("requests")) as record:
            rows = [fields(l, "\t") for l in record if "\tkind=checkpoint" in l and "\tanswer_us=" in l]
        return [(int(r.get("read_us", 0)) + int(r["answer_us"])) / 1000.0 for r in rows]


def window_parts(run, records_path, hold):
    """The agent's frozen window from its run record, in ms, and what it holds: the status write,
    the checkpoint GET (runner mode: the runner's hold), the rest; then, in default mode, the gap
    from the ping's end to the checkpoint's start."""
    with open(records_path, encoding="utf-8") as records:
        record = json.loads(records.readlines()[-1])
    frozen, status = record["frozenMs"], record["statusWriteMs"]
    if hold is not None:
        return frozen, status, hold, frozen - status - hold
    get = record["servers"][0]["checkpoint"]["ms"]
    ping_end = next(r.ms for r in run.records if r.msg.startswith("Done pinging local KOS"))
    checkpoint = next(r.ms for r in run.records if r.msg.startswith("Taking CP on local KOS"))
    return frozen, status, get, frozen - status - get, float(checkpoint - ping_end)


def summary(values):
    return "%7.2f / %7.2f" % (statistics.median(values), p90(values))


def verdict(value, goal):
    return "met" if value <= goal else "MISSED"


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    bench = Bench(build, runs)
    provider = bench.program("OrvelVssProviderService.exe")
    wine(provider, "--uninstall")
    wine(provider, "--install")
    wine(provider, "--start")
    time.sleep(1)
    bench.start_server()
    results = {}
    try:
        for name in SETS:
            results[name] = [bench.one_run(name) for _ in range(runs)]
        gaps = [run[4][4] for name in SETS if not name.endswith("runner") for run in results[name]]
        gap_ms = int(round(statistics.median(gaps)))
        fresh, back_to_back, one_at_gap = bench.floors(gap_ms)
        wakeups = bench.bare_events()
        empty = bench.empty_runs()
        answers = bench.server_times()
    finally:
        bench.server.kill()
        wine(provider, "--uninstall")

    floor = min(fresh, back_to_back, one_at_gap, key=statistics.median)
    floor_median = statistics.median(floor)
    print("%d runs per set; milliseconds, median / p90" % runs)
    print("floor (bare client checkpoint GET): fresh processes, %d ms after the ping %s; in one process,"
          " back to back %s, %d ms between rounds %s; the server's share (accept -> answer sent) of every"
          " checkpoint: %s" % (gap_ms, summary(fresh), summary(back_to_back), gap_ms, summary(one_at_gap),
                               summary(answers)))
    print("%-11s %17s %17s %17s %17s %17s %17s" % ("set", "window", "floor / hold", "agent's share",
                                                  "whole run", "outside", "own"))
    goals = []
    for name in SETS:
        window, hold, whole, outside, _ = (list(column) for column in zip(*results[name]))
        external = name.endswith("runner")
        floors = hold if external else floor
        shares = [w - h for w, h in zip(window, hold)] if external else [w - floor_median for w in window]
        own = [w - o for w, o in zip(whole, outside)]
        print("%-11s %s %s %s %s %s %s" % (name, summary(window), summary(floors), summary(shares),
                                          summary(whole), summary(outside), summary(own)))
        resolution = " (log times: 1 ms steps)" if name.startswith("sim") else ""
        if external:
            goals.append("%-11s share median %.2f <= 0.5: %s; p90 %.2f <= 2: %s%s" % (
                name, statistics.median(shares), verdict(statistics.median(shares), 0.5), p90(shares),
                verdict(p90(shares), 2.0), resolution))
        else:
            goals.append("%-11s window median %.2f <= floor %.2f + 1: %s; p90 %.2f <= floor + 3: %s%s" % (
                name, statistics.median(window), floor_median,
                verdict(statistics.median(window), floor_median + 1.0), p90(window),
                verdict(p90(window), floor_median + 3.0), resolution))
        goals.append("%-11s own time median %.1f <= 50: %s" % (name, statistics.median(own),
                                                              verdict(statistics.median(own), 50.0)))
    print("a whole run of a program that only prints its usage (Wine's process start and end): %s"
          % summary(empty))
    print("runner mode's floor, the four wake-ups alone (OrvelBareEvents, less its runner's own time): %s"
          % summary(wakeups))
    print("%-11s %17s %17s %17s %17s %17s" % ("inside", "frozen", "status write", "GET / hold", "rest",
                                              "gap"))
    for name in SETS:
        parts = zip(*(run[4] for run in results[name]))
        print("%-11s %s" % (name, " ".join(summary(list(column)) for column in parts)))
    print("goals:")
    for goal in goals:
        print("  " + goal)


if __name__ == "__main__":
    main()
