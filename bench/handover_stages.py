#!/usr/bin/env python3
"""Where an answer hand-over's time goes, stage by stage, from the scheduler's events.

While bench_fleet runs a fleet (as root, perf installed):
    perf record -e sched:sched_wakeup,sched:sched_switch -a -o sched.data -- sleep 5
    perf script -i sched.data -F comm,pid,time,event,trace | bench/handover_stages.py PID,PID,...
with the process ids of the gateways to follow (e.g. pgrep -P <bench_fleet> -x kavetta).

A hand-over begins when a printer stand-in wakes its gateway with the answer and is followed
through the wake-ups it causes: the gateway wakes its runtime stand-in with the first Batch, the
runtime wakes the gateway with the reply, the gateway wakes the runtime with the second Batch,
which the runtime then takes up. A step whose target was already runnable (no wake-up event)
loses that hand-over; the count of complete ones is printed. These are the stages of a hand-over
in two Batches (a gateway against a runtime stand-in run with --protocol 2); with one conditional
Batch the first three stages and the runtime's work are the whole of it.
"""
import re
import statistics
import sys

WAKE = re.compile(r'^\s*(\S.*?)\s+(\d+)\s+([\d.]+):\s+sched:sched_wakeup:\s+comm=(.*?) pid=(\d+)')
SWITCH = re.compile(r'^\s*(\S.*?)\s+(\d+)\s+([\d.]+):\s+sched:sched_switch:.*==> next_comm=(.*?) next_pid=(\d+)')
STAGES = ['gateway waits for a CPU after the answer', 'gateway works until the first Batch is sent',
          'runtime waits for a CPU (first Batch)', 'runtime works until its reply',
          'gateway waits for a CPU (reply)', 'gateway works until the second Batch is sent',
          'runtime waits for a CPU (second Batch)']


def quantile(values, q):
    return values[min(len(values) - 1, int(len(values) * q))]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    gateways = {int(p) for p in sys.argv[1].split(',') if p}
    open_chains = {}  # gateway pid -> {'stage': n, 'times': [...], 'runtime': pid}
    gateway_of = {}   # runtime pid -> gateway pid
    done = []
    for line in sys.stdin:
        m = WAKE.match(line)
        if m:
            waker, waker_pid, t = m.group(1), int(m.group(2)), float(m.group(3)) * 1000
            target, target_pid = m.group(4), int(m.group(5))
            if waker.startswith('printersim') and target_pid in gateways:
                open_chains[target_pid] = {'stage': 0, 'times': [t]}
                continue
            c = open_chains.get(waker_pid)
            if c and target.startswith('plcsim') and c['stage'] in (1, 5):
                c['times'].append(t)
                c['stage'] += 1
                c['runtime'] = target_pid
                gateway_of[target_pid] = waker_pid
                continue
            g = gateway_of.get(waker_pid)
            if g is not None and target_pid == g and open_chains.get(g, {}).get('stage') == 3:
                open_chains[g]['times'].append(t)
                open_chains[g]['stage'] = 4
            continue
        m = SWITCH.match(line)
        if not m:
            continue
        t, next_pid = float(m.group(3)) * 1000, int(m.group(5))
        c = open_chains.get(next_pid)
        if c and c['stage'] in (0, 4):
            c['times'].append(t)
            c['stage'] += 1
            continue
        g = gateway_of.get(next_pid)
        c = open_chains.get(g) if g is not None else None
        if c and c.get('runtime') == next_pid and c['stage'] in (2, 6):
            c['times'].append(t)
            c['stage'] += 1
            if c['stage'] == 7:
                ts = c['times']
                done.append([ts[i + 1] - ts[i] for i in range(7)])
                del open_chains[g]
    print(f'{len(done)} complete hand-overs')
    if not done:
        return
    rows = [(name, sorted(d[i] for d in done)) for i, name in enumerate(STAGES)]
    rows.append(('total', sorted(sum(d) for d in done)))
    for name, v in rows:
        print(f'  {name:46s} mean {statistics.mean(v):7.3f} ms  p50 {quantile(v, 0.5):7.3f}  '
              f'p99 {quantile(v, 0.99):7.3f}')


main()
