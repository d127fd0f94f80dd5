#!/usr/bin/env python3
"""Whole runs of the agent under Wine, timed as its callers see them.

Two sets of N runs each, side by side in one invocation:
  simulator  -ExternallyInitiated through the runner stand-in, which thaws at once;
             the requester simulator plays the shadow-copy side.
  vss        the real requester against the shadow-copy stand-in (vssapi.dll),
             default mode with the management server stand-in answering at once,
             started through the runner (which times it) with the final wait set to 0.
For each: the frozen window (the shadow-copy stand-in's own measure where there
is one, else the agent's records from quiesced to thaw set), the agent's own
share of it (the window minus the listener's work: the checkpoint request, or
the runner handshake), and the whole run as the runner saw it (start to exit,
no configured wait left in it). Log times have millisecond resolution, so the
shares are whole milliseconds.

Run inside scripts/wine-harness:  bench/e2e_bench.py <Windows build folder> [N]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime

GOALS = {"share_median": 1.0, "share_p90": 5.0, "run_median": 150.0}


def win(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True).stdout.strip()


def wine(*args, env=None, timeout=120):
    return subprocess.run(["wine", *args], capture_output=True, text=True, env=env, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def stamp(text):
    return datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f")


def records(log_path):
    """(time, message) of each record of the agent's last run."""
    out = []
    with open(log_path, encoding="utf-8", errors="replace") as log:
        for line in log:
            fields = line.rstrip("\r\n").split(",", 6)
            if len(fields) == 7 and fields[1] in ("Info", "Error", "Warn", "Debug", "Control"):
                out.append((stamp(fields[0]), fields[6]))
    return out


def first(recs, start):
    return next((t for t, m in recs if m.startswith(start)), None)


def ms(a, b):
    return (b - a).total_seconds() * 1000.0


def runner_line(output):
    line = next(l for l in output.splitlines() if l.startswith("RUNNER "))
    return dict(piece.split("=", 1) for piece in line.split()[1:])


def p90(values):
    ordered = sorted(values)
    return ordered[max(0, int(round(0.9 * len(ordered))) - 1)]


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    binary = os.path.join(build, "bin")
    log = os.path.join(os.environ["WINEPREFIX"], "drive_c/ProgramData/Orvel/logs/OrvelVssAgent.exe.current.log.txt")
    work = tempfile.mkdtemp()
    provider = os.path.join(binary, "OrvelVssProviderService.exe")
    wine(provider, "--uninstall")
    wine(provider, "--install")
    wine(provider, "--start")
    time.sleep(1)

    env = dict(os.environ)
    env["WINEPATH"] = win(os.path.join(build, "testbed-path"))
    env["ORVEL_VSS_STANDIN_CONFIG"] = win(os.path.join(work, "vss.cfg"))
    env["ORVEL_VSS_STANDIN_RECORD"] = win(os.path.join(work, "vss.record"))
    env["ORVEL_BCDEDIT_RECORD"] = win(os.path.join(work, "bcdedit.record"))
    vss_env = dict(env, WINEDLLOVERRIDES=env.get("WINEDLLOVERRIDES", "") + ";vssapi=n")
    open(os.path.join(work, "vss.cfg"), "w").write("writer=Database Writer|1|0\n")
    server = subprocess.Popen(["wine", os.path.join(binary, "OrvelManagementServer.exe"), "--port", "0",
                               "--ready-file", win(os.path.join(work, "port")), "--lifetime-ms", "600000"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if os.path.exists(os.path.join(work, "port")):
                break
            time.sleep(0.05)
        port = open(os.path.join(work, "port")).read().strip()
        results = {}
        for name in ("simulator", "vss"):
            simulated = name == "simulator"
            # Without a runner's handshake nobody reads the status: the final
            # wait is configured away, so the runner sees the agent's own time.
            open(os.path.join(work, "tweaks_extension.txt"), "w").write(
                "t_requesterSimulativeVss=1\n" if simulated else
                "t_requesterSimulativeVss=0\nt_requesterEventWaitForSharedMemoryReadTimeoutMsec=0\n")
            agent_args = [] if simulated else ["--", "127.0.0.1", port, "0.0.0.0", "0", "bench"]
            windows, shares, whole = [], [], []
            for _ in range(runs):
                record = os.path.join(work, "vss.record")
                if os.path.exists(record):
                    os.remove(record)
                out = wine(os.path.join(binary, "OrvelRunner.exe"), "--cwd", win(work), *agent_args,
                           env=env if simulated else vss_env)
                line = runner_line(out.stdout)
                if line["exit_code"] != "0":
                    sys.exit("%s run failed: %s" % (name, line))
                recs = records(log)
                quiesced, thaw = first(recs, "Now quiesced"), first(recs, "Setting thaw event")
                if simulated:
                    window = ms(quiesced, thaw)
                    listener = ms(first(recs, "receive freeze success"), first(recs, "continuing to thaw"))
                else:
                    freeze = next(dict(f.split("=", 1) for f in l.rstrip("\n").split("\t") if "=" in f)
                                  for l in open(record) if "\tfreeze=" in l)
                    window = float(freeze["held_ms"])
                    listener = ms(first(recs, "Taking CP on local KOS..."), first(recs, "Done taking CP on local KOS."))
                windows.append(window)
                shares.append(max(0.0, window - listener))
                whole.append(float(line["exit_ms"]))
            results[name] = (windows, shares, whole)
    finally:
        server.kill()
        wine(provider, "--uninstall")

    print("%d runs each; milliseconds (median / p90)" % runs)
    print("%-10s %18s %18s %18s" % ("set", "frozen window", "agent's share", "whole run"))
    for name, (windows, shares, whole) in results.items():
        print("%-10s %8.1f / %7.1f %8.1f / %7.1f %8.1f / %7.1f" % (
            name, statistics.median(windows), p90(windows), statistics.median(shares), p90(shares),
            statistics.median(whole), p90(whole)))
    print("goals: agent's share < %.0f ms median, < %.0f ms p90; whole run < %.0f ms median" % (
        GOALS["share_median"], GOALS["share_p90"], GOALS["run_median"]))


if __name__ == "__main__":
    main()
