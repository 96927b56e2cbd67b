#!/usr/bin/env python3
"""The report of scripts/bench.sh: reads the run files it left in RUNS (the
load tool's JSON, the game server's counters, bursts, load averages), prints
the table of medians and ratios against the targets, and last one JSON line
with the headline figures.

  bench_report.py RUNS LOAD_BEFORE LOAD_AFTER ELAPSED REPS QUICK CLIENTS WSFY_CLIENTS CAP_CLIENTS
"""
import glob, json, os, statistics, sys

runs, load_before, load_after, elapsed, reps, quick, clients, wsfy, cap_clients = sys.argv[1:10]
clients = int(clients)
cap_clients = int(cap_clients)

def load(pattern):
    out = []
    for path in sorted(glob.glob(os.path.join(runs, pattern))):
        try:
            out.append(json.load(open(path)))
        except ValueError:
            pass
    return out

def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None

def cpu_per(d, count):
    cpu = d.get("server_cpu_s", -1)
    return cpu * 1e6 / count if cpu is not None and cpu >= 0 and count else None

def cpu_per_kind(runs, kind):
    """Median CPU microseconds per message of `kind` the clients received."""
    return med([cpu_per(d, d.get("recv_kinds", {}).get(kind)) for d in runs])

def cpu_ratio_row(section, label, key, a, b, limit):
    """The CPU per message of `a` against `b` (each runs and a kind): kept in
    the result under `key` and shown in a row against `limit`."""
    c_a, c_b = cpu_per_kind(*a), cpu_per_kind(*b)
    r = ratio(c_a, c_b)
    result[key] = r
    row(section, label, c_a, c_b, None, r, f"<= {limit:g}", r is not None and r <= limit)

def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None

def fmt(v, digits=3):
    if v is None:
        return "-"
    if isinstance(v, str):
        return v
    return f"{v:.{digits}g}" if abs(v) < 1e5 else f"{v:.0f}"

rows = []
def row(scenario, figure, a, b=None, c=None, r=None, target="", ok=None, d=None):
    rows.append((scenario, figure, fmt(a), fmt(b), fmt(c), fmt(d), fmt(r), target,
                 "" if ok is None else ("met" if ok else "MISSED")))

result = {}

# Round trip.
rt = {s: load(f"rt.{s}.*.json") for s in ("gateway", "echo", "websockify", "relay")}
rt_cpu = {s: med([cpu_per(d, d.get("echo_recv")) for d in v]) for s, v in rt.items()}
rt_p99 = {s: med([d.get("rtt_ms", {}).get("p99") for d in v]) for s, v in rt.items()}
rt_rate = {s: med([d.get("echo_per_s") for d in v]) for s, v in rt.items()}
r_echo = ratio(rt_cpu["gateway"], rt_cpu["echo"])
r_wsfy = ratio(rt_cpu["gateway"], rt_cpu["websockify"])
r_relay = ratio(rt_cpu["gateway"], rt_cpu["relay"])
result["rt_cpu_vs_echo"] = r_echo
result["rt_cpu_vs_websockify"] = r_wsfy
result["rt_cpu_vs_relay"] = r_relay
result["rt_p99_ms"] = rt_p99["gateway"]
result["rt_p99_vs_echo"] = ratio(rt_p99["gateway"], rt_p99["echo"])
if rt["gateway"]:
    row("round trip", "CPU us per round trip", rt_cpu["gateway"], rt_cpu["echo"],
        rt_cpu["websockify"], r_echo, "A/B <= 1.3", r_echo is not None and r_echo <= 1.3,
        rt_cpu["relay"])
    row("round trip", "  A/C (websockify)", None, None, None, r_wsfy, "A/C <= 0.25",
        r_wsfy is not None and r_wsfy <= 0.25)
    # The relay does the job without the gateway's rules: A/D is what they cost.
    row("round trip", "  A/D (relay floor)", None, None, None, r_relay, "A/D <= 1.1",
        r_relay is not None and r_relay <= 1.1)
    row("round trip", "p99 ms", rt_p99["gateway"], rt_p99["echo"], rt_p99["websockify"], None,
        "A <= 5", rt_p99["gateway"] is not None and rt_p99["gateway"] <= 5, rt_p99["relay"])
    row("round trip", "echoes per s", rt_rate["gateway"], rt_rate["echo"], rt_rate["websockify"],
        d=rt_rate["relay"])
    r = result["rt_p99_vs_echo"]
    row("round trip", "  p99 A/B", None, None, None, r, "A/B <= 3", r is not None and r <= 3)
tick = load("rttick.gateway.*.json")
if tick:
    p99 = med([d.get("rtt_ms", {}).get("p99") for d in tick])
    result["tick_mode_rt_p99_ms"] = p99
    row("round trip", "p99 ms with Flush=tick", p99)

# Light load: 100 clients x 1/s, where waiting for the tick would dominate.
light = load("light.gateway.*.json")
if light:
    p50 = med([d.get("rtt_ms", {}).get("p50") for d in light])
    p99 = med([d.get("rtt_ms", {}).get("p99") for d in light])
    result["light_p50_ms"], result["light_p99_ms"] = p50, p99
    row("light load", "p50 ms", p50, None, None, None, "<= 1", p50 is not None and p50 <= 1)
    row("light load", "p99 ms", p99)

# Heap allocations per message through the engine (tavrel-bench).
allocs = None
try:
    for b in json.load(open(os.path.join(runs, "allocs.bench"))).get("benchmarks", []):
        if b.get("name", "").startswith("BM_EngineRoundTrip"):
            allocs = b.get("allocs_per_msg")
except (OSError, ValueError):
    pass
if allocs is not None:
    result["allocs_per_msg"] = allocs
    row("engine", "heap allocations per message", allocs, None, None, None, "<= 0.05",
        allocs <= 0.05)

# Slow consumers: p99 of the reading clients with 10 that never read, against
# the plain round-trip run of the same repetition.
slow = load("slow.gateway.*.json")
if slow:
    p99_with = med([d.get("rtt_ms", {}).get("p99") for d in slow])
    # Each slow run against the plain run just before it, then the median.
    changes = []
    for path in sorted(glob.glob(os.path.join(runs, "slow.gateway.*.json"))):
        base = path.replace("slow.gateway.", "rt.gateway.")
        try:
            a, b = json.load(open(path)), json.load(open(base))
            changes.append(a["rtt_ms"]["p99"] / b["rtt_ms"]["p99"] - 1)
        except (OSError, KeyError, ValueError, ZeroDivisionError):
            pass
    change = med(changes)
    result["slow_consumer_p99_change"] = change
    peak = med([d.get("rss_kb", {}).get("peak") for d in slow])
    row("slow consumers", "p99 ms with 10 not reading", p99_with, None, None, change,
        "change <= +10%", change is not None and change <= 0.10)
    row("slow consumers", "peak RSS MB", peak / 1024 if peak else None)

# Per-user translation.
logon, opaque = load("logon.gateway.*.json"), load("opaque.gateway.*.json")
if logon and opaque:
    cpu_ratio_row("per-user", "CPU us per SM_LOGON / opaque msg", "logon_vs_opaque",
                  (logon, "logon"), (opaque, "opaque"), 4)
    row("per-user", "delivered per s (logon, opaque)",
        med([d.get("recv_per_s") for d in logon]), med([d.get("recv_per_s") for d in opaque]))

# Runs in which the test game server had to skip messages because the
# gateway's link was not drained (the gateway short of CPU).
skips = []
for path in glob.glob(os.path.join(runs, "*.gamesim")):
    text = open(path).read()
    fields = dict(f.split("=", 1) for f in text.split() if "=" in f)
    try:
        sent = int(fields.get("user", 0)) + int(fields.get("bcast", 0))
        skipped = int(fields.get("skipped", 0))
        if sent and skipped > 0.05 * (sent + skipped):
            skips.append(os.path.basename(path).rsplit(".", 1)[0])
    except ValueError:
        pass

# Broadcast.
bcast, uni = load("bcast.gateway.*.json"), load("unicast.gateway.*.json")
if bcast and uni:
    cpu_ratio_row("broadcast", "CPU us per copy (bcast / unicast)", "broadcast_vs_unicast",
                  (bcast, "bcast"), (uni, "opaque"), 1.5)
    complete = all(d.get("seq", {}).get("bcast_missing", 1) == 0 and
                   d.get("seq", {}).get("bcast_clients", 0) == d.get("ready", -1) for d in bcast)
    row("broadcast", "every client got every broadcast", "yes" if complete else "NO", None, None,
        None, "all", complete)

# Memory.
idle = load("idle.gateway.*.json")
if idle:
    per = med([(d["rss_kb"]["ready"] - d["rss_kb"]["start"]) / d["ready"]
               for d in idle if d.get("ready") and d.get("rss_kb", {}).get("ready")])
    total = med([d["rss_kb"]["ready"] / 1024 for d in idle if d.get("rss_kb", {}).get("ready")])
    result["idle_kb_per_session"] = per
    row("memory", "KB per idle session", per)
    row("memory", f"RSS MB with {clients} idle", total, None, None, None, "<= 100",
        total is not None and total <= 100)
    bursts = load("idle.gateway.*.burst")
    if bursts:
        back = med([(b["rss_after"] - b["rss_idle"]) / b["rss_idle"] for b in bursts])
        peak = med([b["rss_peak"] / 1024 for b in bursts])
        row("memory", "burst peak RSS MB", peak)
        row("memory", "after the burst, above idle", f"{back * 100:+.1f}%", None, None, None,
            "<= +10%", back <= 0.10)
    bursts = load("idle64k.gateway.*.burst")
    if bursts:
        back = med([(b["rss_after"] - b["rss_idle"]) / b["rss_idle"] for b in bursts])
        row("memory", "  the same, ClientMsgBuffByte=65536", f"{back * 100:+.1f}%", None, None,
            None, "<= +10%", back <= 0.10)

# Accept rate.
acc = []
for tls in ("0", "1"):
    g, e = load(f"accept{tls}.gateway.*.json"), load(f"accept{tls}.echo.*.json")
    if not g or not e:
        continue
    c_g = med([cpu_per(d, d.get("ready")) for d in g])
    c_e = med([cpu_per(d, d.get("ready")) for d in e])
    r = ratio(c_e, c_g)  # connects per CPU second, gateway over echo
    acc.append(r)
    label = "TLS" if tls == "1" else "plain"
    row("accept", f"CPU us per connect, {label}", c_g, c_e, None, r, ">= 0.8",
        r is not None and r >= 0.8)
if acc:
    result["accept_vs_echo"] = min(a for a in acc if a is not None) if any(acc) else None

# Saturation.
best = {s: med([d.get("best") for d in load(f"satbest.{s}.*.json")]) for s in ("gateway", "echo")}
if best["gateway"] is not None:
    r = ratio(best["gateway"], best["echo"])
    result["saturation_vs_echo"] = r
    row("saturation", "echoes/s with p99 < 50 ms", best["gateway"], best["echo"], None, r,
        ">= 1.0", r is not None and r >= 1.0)

# Capacity: the large crowd (column "big") against 1000 clients.
cap_rows = []
def cap_row(scenario, figure, big, small=None, r=None, target="", ok=None):
    f = lambda v: str(v) if isinstance(v, int) else fmt(v)
    cap_rows.append((scenario, figure, f(big), f(small), fmt(r), target,
                     "" if ok is None else ("met" if ok else "MISSED")))

def p99(d):
    return d.get("rtt_ms", {}).get("p99")

def cpu_share(d):
    """Percent of one core the server took over the window."""
    cpu, window = d.get("server_cpu_s", -1), d.get("window_s")
    return cpu * 100 / window if cpu is not None and cpu >= 0 and window else None

def delivered(d, bcast=True):
    """Every client in, every echo answered (over the whole run) and, with
    broadcasts, every one at every client, once and in order."""
    s = d.get("seq", {})
    return (d.get("ready", 0) == d.get("clients", -1) and d.get("echo_lost", 1) == 0
            and d.get("echo_sent", 0) > 0 and d.get("stream_errors", 1) == 0
            and (not bcast or (s.get("bcast_missing", 1) == 0 and s.get("bcast_late", 1) == 0
                               and s.get("bcast_clients", 0) == d.get("ready", -1))))

def total(runs_, f):
    return sum(f(d) or 0 for d in runs_) if runs_ else None

big_name = f"{cap_clients // 1000}k" if cap_clients % 1000 == 0 else str(cap_clients)

def play_rows(title, big, small, bcast, key):
    """Counts, CPU per round trip (the ratio kept under `key`) and the tail
    of the playing runs at both sizes."""
    ok_all = all(delivered(d, bcast) for d in big + small)
    cap_row(title, "clients logged in", total(big, lambda d: d.get("ready")),
            total(small, lambda d: d.get("ready")))
    counts = [("echoes sent in the window", lambda d: d.get("echo_sent")),
              ("  unanswered at the end", lambda d: d.get("echo_lost"))]
    if bcast:
        counts += [("bcast copies in the window", lambda d: d.get("recv_kinds", {}).get("bcast")),
                   ("  missing or late", lambda d: d.get("seq", {}).get("bcast_missing", 0) +
                    d.get("seq", {}).get("bcast_late", 0)),
                   ("  clients that got broadcasts",
                    lambda d: d.get("seq", {}).get("bcast_clients"))]
    for label, f in counts:
        cap_row("", label, total(big, f), total(small, f))
    cap_row("", "everything delivered", "yes" if ok_all else "NO", None, None, "all", ok_all)
    c_b = med([cpu_per(d, d.get("echo_recv")) for d in big])
    c_s = med([cpu_per(d, d.get("echo_recv")) for d in small])
    r = result[key + "_cpu_ratio"] = ratio(c_b, c_s)
    cap_row("", "CPU us per round trip", c_b, c_s, r, "<= 1.1", r is not None and r <= 1.1)
    p_b, p_s = med([p99(d) for d in big]), med([p99(d) for d in small])
    result[key + "_p99_ms"] = p_b
    cap_row("", "p99 round trip ms", p_b, p_s, ratio(p_b, p_s), "<= 5", p_b is not None and p_b <= 5)
    for q in ("p90", "p50"):
        cap_row("", f"{q} round trip ms", med([d.get("rtt_ms", {}).get(q) for d in big]),
                med([d.get("rtt_ms", {}).get(q) for d in small]))
    cap_row("", "connect s (all logged in)", med([d.get("connect_s") for d in big]),
            med([d.get("connect_s") for d in small]))

cap_big, cap_1k = load("cap.big.*.json"), load("cap.1k.*.json")
if cap_big or cap_1k:
    play_rows("playing, 1/s + bcast 1/s", cap_big, cap_1k, True, "cap10k")
nb_big, nb_1k = load("capnb.big.*.json"), load("capnb.1k.*.json")
if nb_big or nb_1k:
    play_rows("playing, 1/s, no bcast", nb_big, nb_1k, False, "cap10k_nobcast")

idle_big, idle_1k = load("idlecap.big.*.json"), load("idlecap.1k.*.json")
if idle_big or idle_1k:
    i_b, i_s = med([cpu_share(d) for d in idle_big]), med([cpu_share(d) for d in idle_1k])
    r = ratio(i_b, i_s)
    result["idle10k_cpu_ratio"] = r
    cap_row("idle", "gateway CPU, % of a core", i_b, i_s, r, "<= 2", r is not None and r <= 2)
    per = lambda runs_: med([(d["rss_kb"]["ready"] - d["rss_kb"]["start"]) / d["ready"]
                             for d in runs_ if d.get("ready") and d.get("rss_kb", {}).get("ready")])
    k_b, k_s = per(idle_big), per(idle_1k)
    result["idle10k_kb_per_session"] = k_b
    cap_row("", "KB per idle session (RSS delta)", k_b, k_s, None, "<= 8",
            k_b is not None and k_b <= 8)
    cap_row("", "RSS MB, idle", med([d.get("rss_kb", {}).get("ready", 0) / 1024 for d in idle_big]),
            med([d.get("rss_kb", {}).get("ready", 0) / 1024 for d in idle_1k]))

bc_big, bc_1k = load("bcastcap.big.*.json"), load("bcastcap.1k.*.json")
if bc_big or bc_1k:
    c_b, c_s = cpu_per_kind(bc_big, "bcast"), cpu_per_kind(bc_1k, "bcast")
    r = ratio(c_b, c_s)
    result["bcast10k_cpu_ratio"] = r
    cap_row("broadcast, 20,000 copies/s", "CPU us per copy", c_b, c_s, r)
    ok_all = all(d.get("seq", {}).get("bcast_missing", 1) == 0 and
                 d.get("seq", {}).get("bcast_clients", 0) == d.get("ready", -1)
                 for d in bc_big + bc_1k)
    cap_row("", "every client got every broadcast", "yes" if ok_all else "NO", None, None, "all",
            ok_all)

st0, st1 = load("storm0.*.json"), load("storm1.*.json")
if st0 or st1:
    rounds = load("storm1.*.round*.storm")
    times = [d.get("connect_s") for d in rounds if d.get("connect_s") is not None]
    p_1, p_0 = med([p99(d) for d in st1]), med([p99(d) for d in st0])
    result["storm_p99_ms"] = p_1
    result["storm_reconnect_s"] = max(times) if times else None
    # One crowd size: the figures stand in the first column.
    cap_row("TLS storm, 1000 players", "players' p99 ms under the storm", p_1, None,
            ratio(p_1, p_0))
    cap_row("", "players' p99 ms alone", p_0)
    cap_row("", "players' echoes lost (storm, alone)",
            f"{total(st1, lambda d: d.get('echo_lost'))}, {total(st0, lambda d: d.get('echo_lost'))}")
    cap_row("", "storm rounds of 1000 TLS reconnects", len(rounds))
    cap_row("", "  s until all reconnected (median, max)",
            f"{fmt(med(times))}, {fmt(max(times) if times else None)}")
    cap_row("", "  reconnects done / refused / failed",
            f"{sum(d.get('ready', 0) for d in rounds)}/{sum(d.get('refused', 0) for d in rounds)}/"
            f"{sum(d.get('failed', 0) for d in rounds)}")
    io = load("storm1.*.iothreads") or load("storm0.*.iothreads")
    if io:
        cap_row("", "[Run] IoThreads", io[0].get("iothreads") +
                ("" if io[0].get("known", True) else " (unknown to this build: ignored)"))

loads = []
for path in glob.glob(os.path.join(runs, "*.loadavg")):
    try:
        loads.append(float(open(path).read().split()[0]))
    except (ValueError, IndexError):
        pass

head = ("scenario", "figure", "A gateway", "B echo", "C websockify", "D relay", "ratio", "target",
        "")
widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
print()
print(f"TavrelH5 load benchmark: {'quick' if quick == '1' else 'full'}, {reps} repetition(s), "
      f"{elapsed} s; load average {load_before} before, {load_after} after; "
      f"websockify with {wsfy} clients; medians over repetitions")
for r in [head] + rows if rows else []:
    print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())
if cap_rows:
    head = ("scenario", "figure", big_name, "1k", "ratio", "target", "")
    widths = [max(len(str(r[i])) for r in cap_rows + [head]) for i in range(len(head))]
    print()
    print(f"Capacity: {cap_clients} clients against 1000 in one gateway, [Run] Sessions sized "
          f"for the larger crowd in both")
    for r in [head] + cap_rows:
        print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())
if loads:
    print(f"one-minute load average at the end of the runs: {min(loads):.2f} to {max(loads):.2f} "
          f"(median {statistics.median(loads):.2f}) on {os.cpu_count()} cores")
if skips:
    print("runs in which the game server skipped over 5% of its messages (gateway short of CPU): "
          + ", ".join(sorted(skips)))
keys = ["rt_cpu_vs_echo", "rt_cpu_vs_websockify", "rt_cpu_vs_relay", "rt_p99_ms",
        "saturation_vs_echo", "logon_vs_opaque", "broadcast_vs_unicast", "idle_kb_per_session", "accept_vs_echo",
        "slow_consumer_p99_change", "rt_p99_vs_echo", "light_p50_ms", "light_p99_ms",
        "tick_mode_rt_p99_ms", "allocs_per_msg", "cap10k_cpu_ratio", "cap10k_p99_ms",
        "cap10k_nobcast_cpu_ratio", "cap10k_nobcast_p99_ms", "idle10k_cpu_ratio",
        "idle10k_kb_per_session", "bcast10k_cpu_ratio", "storm_p99_ms", "storm_reconnect_s"]
# Allocations per message are near zero: significant figures, not decimals.
rounded = {k: (round(result[k], 4) if k != "allocs_per_msg" else float(f"{result[k]:.3g}"))
           for k in keys if result.get(k) is not None}
print(json.dumps({k: rounded.get(k) for k in keys}))
