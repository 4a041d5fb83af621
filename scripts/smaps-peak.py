#!/usr/bin/env python3
"""Where a process's resident set goes at its peak, by mapping.

  smaps-peak.py watch NAME OUT   wait for a process whose name (as in
                                 /proc/PID/comm, at most 15 characters) is
                                 NAME, poll it until it ends and keep its
                                 /proc/PID/smaps at the highest resident set
                                 seen in OUT, with a log of each rise
  smaps-peak.py show SMAPS       resident kB per mapping, largest first
  smaps-peak.py diff BASE SMAPS  the same, as SMAPS minus BASE

File mappings are summed by file name. `show` lists anonymous mappings
one by one with their address range, size and permissions (under Wine a
thread's stack is one view of 2 or 3 MB); `diff` sums them by permissions. Run it beside the program, e.g.

  scripts/smaps-peak.py watch zorvane.exe build/mem/client &
  build/win32/wine-run.sh build/win32/zorvane.exe /skipfast /nobrowser ...
"""
import collections
import os
import re
import signal
import sys
import time

HEADER = re.compile(r'^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \S+\s*(.*)$')


def rss_by_mapping(path, each_anonymous=True):
    totals = collections.Counter()
    key = None
    with open(path) as smaps:
        for line in smaps:
            header = HEADER.match(line)
            if header:
                start, end, perms, name = header.groups()
                size_kb = (int(end, 16) - int(start, 16)) // 1024
                name = name.strip()
                if name.startswith('/'):
                    key = os.path.basename(name)
                elif name:
                    key = name
                elif each_anonymous:
                    key = f'[anon {start}-{end} {perms} {size_kb} kB]'
                else:
                    key = f'[anon {perms}]'
                continue
            if line.startswith('Rss:'):
                totals[key] += int(line.split()[1])
    return totals


def print_rows(rows):
    for name, kb in rows:
        print(f'{kb:8d} kB  {name}')
    print(f'{sum(kb for _, kb in rows):8d} kB  total')


def find_process(name):
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open(f'/proc/{pid}/comm') as comm:
                if comm.read().strip() == name[:15]:
                    return pid
        except OSError:
            pass
    return None


def watch(name, out, wait_seconds=300):
    os.makedirs(out, exist_ok=True)
    deadline = time.monotonic() + wait_seconds
    pid = None
    while pid is None:
        if time.monotonic() > deadline:
            sys.exit(f'smaps-peak: no process named {name} appeared')
        pid = find_process(name)
        time.sleep(0.005)
    started = time.monotonic()
    peak = 0
    with open(os.path.join(out, 'log'), 'w') as log:
        while True:
            try:
                with open(f'/proc/{pid}/status') as status:
                    text = status.read()
                with open(f'/proc/{pid}/smaps') as smaps:
                    snapshot = smaps.read()
            except OSError:
                break
            rss = int(re.search(r'^VmRSS:\s+(\d+)', text, re.M).group(1))
            threads = re.search(r'^Threads:\s+(\d+)', text, re.M).group(1)
            if rss > peak:
                peak = rss
                with open(os.path.join(out, 'smaps'), 'w') as kept:
                    kept.write(snapshot)
                log.write(f'{time.monotonic() - started:7.2f} s  {rss} kB  {threads} threads\n')
                log.flush()
            time.sleep(0.01)
    print(f'{name} (pid {pid}): peak {peak} kB; smaps at the peak in {out}/smaps')


def main(argv):
    if len(argv) == 4 and argv[1] == 'watch':
        watch(argv[2], argv[3])
    elif len(argv) == 3 and argv[1] == 'show':
        print_rows([row for row in rss_by_mapping(argv[2]).most_common() if row[1]])
    elif len(argv) == 4 and argv[1] == 'diff':
        base, other = rss_by_mapping(argv[2], False), rss_by_mapping(argv[3], False)
        rows = [(name, other[name] - base[name]) for name in set(base) | set(other)]
        print_rows(sorted((row for row in rows if row[1]), key=lambda row: -row[1]))
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main(sys.argv)
