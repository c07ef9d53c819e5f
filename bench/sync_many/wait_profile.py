#!/usr/bin/python3
"""Where the threads of one program wait: an off-CPU summary of a perf recording of scheduler
switches.

Record while the program runs (system-wide on the cpus it is pinned to, since a thread's switch
back in is seen from the task it replaces):

    perf record -e sched:sched_switch --call-graph dwarf,16384 -a -C CPUS -o FILE -- sleep SECONDS
    wait_profile.py FILE [COMMAND_NAME]      (default tavrin_host)

Every stretch a thread of COMMAND_NAME spends switched out is charged to what it waits for:
the stand-in's write lock (with the product's function that asked), a reader waiting for a
writer, SQLite's busy polling, a retry's back-off sleep, a disk sync, an idle host worker,
the I/O thread, or "runnable" when it was preempted with work to do (the cpus are short).
Prints seconds and shares, largest first. The function named for a wait comes from unwinding
the thread's stack copy; through libraries without unwind tables it can name the wrong caller
(`strace -f -y -e trace=fdatasync -p PID` tells which file a disk sync is for).
"""
import collections
import re
import subprocess
import sys

SWITCH = re.compile(r"\s*(\d+)\s+([\d.]+): sched:sched_switch: prev_comm=(.*?) prev_pid=(\d+) .*prev_state=(\S+) "
                    r"==> next_comm=(.*?) next_pid=(\d+)")
PRODUCT = ("tav_", "QK_sqlite", "log_request")


def switches(lines):
    """(time, prev comm, prev tid, prev state, next comm, next tid, stack of the switched-out thread)."""
    current = None
    for line in lines:
        m = SWITCH.match(line)
        if m:
            if current:
                yield current
            current = (float(m.group(2)), m.group(3), int(m.group(4)), m.group(5), m.group(6), int(m.group(7)), [])
        elif current is not None and line.strip():
            parts = line.split(None, 1)
            if len(parts) == 2:
                current[6].append(parts[1].strip())
    if current:
        yield current


def asked_by(stack):
    frames = [f for f in stack if f.startswith(PRODUCT)]
    return " < ".join(frames[:3]) or "?"


def classify(stack):
    text = " ".join(stack)
    if "DatabaseFile::acquire" in text:
        return "write lock: " + asked_by(stack)
    if "wait_for_writer" in text:
        return "reader waits for a writer: " + asked_by(stack)
    if "on_busy" in text:
        return "SQLite busy polling (another process)"
    if "retry_pause" in text or "QK_sleep_ms" in text:
        return "retry back-off: " + asked_by(stack)
    if "fsync" in text or "fdatasync" in text:
        return "disk sync: " + asked_by(stack)
    if "epoll_wait" in text:
        return "I/O thread"
    if "scheduler::do_run_one" in text and not any(f.startswith(PRODUCT) or "MyHttpModule" in f for f in stack):
        return "host worker idle"
    named = [f for f in stack if f.startswith(PRODUCT + ("sqlserver_standin::", "MyHttpModule", "tavrin_iis"))]
    return "other: " + (" < ".join(named[:3]) or " < ".join(stack[:4]))


def summarise(lines, command="tavrin_host"):
    """{what: seconds} of the command's threads while switched out."""
    out, waits = {}, collections.Counter()
    for when, prev_comm, prev, state, next_comm, nxt, stack in switches(lines):
        if prev_comm.startswith(command):
            out[prev] = (when, "runnable (preempted: the cpus are short)" if state.startswith("R") else classify(stack))
        if next_comm.startswith(command) and nxt in out:
            since, what = out.pop(nxt)
            waits[what] += when - since
    return waits


def report(waits, limit=15):
    total = sum(waits.values()) or 1
    lines = ["| waits for | thread seconds | share |", "|---|---|---|"]
    for what, seconds in waits.most_common(limit):
        lines.append("| %s | %.2f | %.1f%% |" % (what, seconds, 100 * seconds / total))
    return "\n".join(lines)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    script = subprocess.run(["perf", "script", "-i", argv[1], "-F", "tid,time,event,trace,ip,sym"],
                            capture_output=True, text=True, errors="replace")
    print(report(summarise(script.stdout.splitlines(), argv[2] if len(argv) > 2 else "tavrin_host")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
