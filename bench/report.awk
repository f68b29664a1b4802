# The bench's table and JSON from its raw lines "SUBJECT METRIC REPEAT VALUE".
# Variables: seconds, repeat, json (output path), when, host, cpus,
# fping_version, commit.  Every figure over the repeats is min / median / max.

function sort_values(key,    n, i, j, t, parts) {
    n = split(vals[key], parts, " ")
    for (i = 1; i <= n; i++) sorted[i] = parts[i] + 0
    for (i = 2; i <= n; i++) {
        t = sorted[i]
        for (j = i - 1; j >= 1 && sorted[j] > t; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = t
    }
    return n
}
function has(s, m) { return ((s SUBSEP m) in vals) }
function vmin(s, m,    n) { n = sort_values(s SUBSEP m); return sorted[1] }
function vmax(s, m,    n) { n = sort_values(s SUBSEP m); return sorted[n] }
function vmed(s, m,    n) {
    n = sort_values(s SUBSEP m)
    return (n % 2) ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}
function fmt(x, d) { return sprintf("%." d "f", x) }
function triple(s, m, d) {
    if (!has(s, m)) return "-"
    return fmt(vmin(s, m), d) " / " fmt(vmed(s, m), d) " / " fmt(vmax(s, m), d)
}
function ratio(m, d,    f) {
    if (!has("trapwatch", m) || !has("fping", m)) return "-"
    f = vmed("fping", m)
    return (f == 0) ? "-" : fmt(vmed("trapwatch", m) / f, d)
}
function row(label, m, d, target, verdict) {
    printf "%-38s %-24s %-24s %-8s %s%s\n", label, triple("trapwatch", m, d), triple("fping", m, d),
        ratio(m, 2), target, (verdict == "" ? "" : "  [" verdict "]")
}
function jratio(m,    r) { r = ratio(m, 3); return (r == "-") ? "null" : r }
function verdict(ok) { return ok ? "met" : "MISSED" }
function jstats(s, m,    n, i, out) {
    n = sort_values(s SUBSEP m)
    out = "{\"min\": " sorted[1] ", \"median\": " vmed(s, m) ", \"max\": " sorted[n] ", \"runs\": ["
    n = split(vals[s SUBSEP m], runs, " ")
    for (i = 1; i <= n; i++) out = out (i > 1 ? ", " : "") runs[i]
    return out "]}"
}
function jsubject(s,    m, out, first) {
    out = "{"
    first = 1
    for (k = 1; k <= nkeys; k++) {
        split(keys[k], kp, SUBSEP)
        if (kp[1] != s) continue
        out = out (first ? "" : ", ") "\"" kp[2] "\": " jstats(s, kp[2])
        first = 0
    }
    return out "}"
}
function one(s, m) { return has(s, m) ? vmed(s, m) : -1 }

{
    key = $1 SUBSEP $2
    if (!(key in vals)) { keys[++nkeys] = key; vals[key] = $4 } else vals[key] = vals[key] " " $4
}

END {
    cycles = seconds / 5
    printf "\ntrapwatch vs fping -l -p 5000 (-q) over 88 receivers: 30 answering, 30 refusing the trap port, 28 silent\n"
    printf "window %d s = %g cycles per prober, %d repeat(s); figures are min / median / max; ratio of medians\n",
        seconds, cycles, repeat
    printf "%s, %s processors, %s, commit %s\n", host, cpus, fping_version, commit
    printf "one null system call here: %s ns (min / median / max)\n\n", triple("host", "syscall_ns", 0)
    printf "%-38s %-24s %-24s %-8s %s\n", "", "trapwatch", "fping -l", "tw/fping", "target"

    cpu_tw = one("trapwatch", "cpu_ms_per_cycle"); cpu_fp = one("fping", "cpu_ms_per_cycle")
    cpu_ok = (cpu_tw >= 0 && cpu_fp > 0 && cpu_tw <= cpu_fp / 2 && cpu_tw <= 2.0)
    row("CPU per cycle, ms (user+system)", "cpu_ms_per_cycle", 3, "<= 0.5 x fping, <= 2 ms", verdict(cpu_ok))
    row("  user, ms (clock ticks)", "user_ms_per_cycle", 2, "", "")
    row("  system, ms (clock ticks)", "sys_ms_per_cycle", 2, "", "")
    sc = one("trapwatch", "syscalls_per_cycle")
    row("system calls per cycle", "syscalls_per_cycle", 1, "<= 300", verdict(sc >= 0 && sc <= 300))
    row("voluntary context switches/cycle", "vcsw_per_cycle", 1, "", "")
    row("involuntary context switches/cycle", "ivcsw_per_cycle", 1, "", "")
    row("RSS after first cycle, KiB", "rss_first_kib", 0, "", "")
    rss_tw = one("trapwatch", "rss_end_kib"); rss_fp = one("fping", "rss_end_kib")
    grow_rss = has("trapwatch", "rss_end_kib") ? vmax("trapwatch", "rss_end_kib") - vmin("trapwatch", "rss_first_kib") : -1
    row("RSS at end, KiB", "rss_end_kib", 0, "< fping, flat", verdict(rss_tw >= 0 && rss_tw < rss_fp))
    row("Pss after first cycle, KiB", "pss_first_kib", 0, "", "")
    pss_tw = one("trapwatch", "pss_end_kib")
    row("Pss at end, KiB", "pss_end_kib", 0, "<= 1024", verdict(pss_tw >= 0 && pss_tw <= 1024))
    row("private memory after first cycle, KiB", "private_first_kib", 0, "", "")
    row("private memory at end, KiB", "private_end_kib", 0, "", "")
    flat = 1
    n = split(vals["trapwatch" SUBSEP "rss_first_kib"], rf, " "); split(vals["trapwatch" SUBSEP "rss_end_kib"], re, " ")
    split(vals["trapwatch" SUBSEP "private_first_kib"], pf, " "); split(vals["trapwatch" SUBSEP "private_end_kib"], pe, " ")
    growth = ""
    for (i = 1; i <= n; i++) {
        growth = growth (i > 1 ? ", " : "") sprintf("%+d/%+d", re[i] - rf[i], pe[i] - pf[i])
        if (re[i] > rf[i] || pe[i] > pf[i]) flat = 0
    }
    printf "%-38s %-24s %-24s %-8s %s  [%s]\n", "  growth first->end, RSS/private KiB", growth, "", "", "flat", verdict(flat)
    printf "%-38s %-24s %-24s %-8s %s\n", "matrix codes 2 / 1 / 0 (end)",
        fmt(one("trapwatch", "matrix_code2"), 0) " / " fmt(one("trapwatch", "matrix_code1"), 0) " / " fmt(one("trapwatch", "matrix_code0"), 0),
        fmt(one("fping", "hosts_answering"), 0) " hosts answer", "", "30 / 30 / 28"

    printf "\ncontrol socket, one client, default debug mask\n"
    rtt = one("control", "rtt_per_s")
    printf "%-38s %-24s %s  [%s]\n", "GET_STATUS round trips per second", triple("control", "rtt_per_s", 0), ">= 20000", verdict(rtt >= 20000)
    printf "%-38s %-24s\n", "  p50 latency, us", triple("control", "rtt_p50_us", 1)
    printf "%-38s %-24s\n", "  p99 latency, us", triple("control", "rtt_p99_us", 1)
    printf "%-38s %-24s\n", "  daemon CPU per round trip, us", triple("control", "rtt_daemon_cpu_us", 1)
    printf "%-38s %-24s\n", "  client CPU per round trip, us", triple("control", "rtt_client_cpu_us", 1)

    a1 = one("alloc", "after_cycles"); a2 = one("alloc", "after_commands"); a3 = one("alloc", "after_round_trips")
    started = one("alloc", "counter_started")
    printf "\nheap allocations after start-up (counting from listen(); %d cycles, +1000 commands, +2 s of round trips)\n", cycles
    printf "%-38s %d / %d / %d%s  [%s]\n", "  after cycles / commands / trips", a1, a2, a3,
        (started == 1 ? "" : " (counter did not start)"), verdict(started == 1 && a3 == 0)
    m1 = one("alloc_musl", "after_cycles"); m2 = one("alloc_musl", "after_commands"); m3 = one("alloc_musl", "after_round_trips")
    mstarted = one("alloc_musl", "counter_started")
    printf "%-38s %d / %d / %d%s  [%s]\n", "  PowerPC musl, under qemu-ppc", m1, m2, m3,
        (mstarted == 1 ? "" : " (counter did not start)"), verdict(mstarted == 1 && m3 == 0)
    mmatrix = one("alloc_musl", "matrix_code2") " / " one("alloc_musl", "matrix_code1") " / " one("alloc_musl", "matrix_code0")
    printf "%-38s %s  (30 / 30 / 28)\n", "  its matrix codes 2 / 1 / 0", mmatrix

    printf "\nstripped binary, bytes\n"
    printf "%-38s %d / %d\n", "  native dynamic / static", one("size", "native_dynamic"), one("size", "native_static")
    ppcs = one("size", "ppc_static")
    printf "%-38s %d / %d  (static <= 524288)  [%s]\n", "  PowerPC dynamic / static", one("size", "ppc_dynamic"), ppcs,
        verdict(ppcs > 0 && ppcs <= 524288)
    musl = one("size", "ppc_musl")
    printf "%-38s %d  (<= 262144)  [%s]\n", "  PowerPC static musl", musl, verdict(musl > 0 && musl <= 262144)
    printf "%-38s %d / %d\n", "  musl trapwatchctl / keelson-sim", one("size", "ppc_musl_trapwatchctl"),
        one("size", "ppc_musl_keelson_sim")

    nb = 0
    for (k = 1; k <= nkeys; k++) {
        split(keys[k], kp, SUBSEP)
        if (kp[2] ~ /^strace_/) { nb++ }
    }
    if (nb > 0) {
        printf "\nsystem calls per cycle by name (strace -f -c, two cycles of repeat 1)\n"
        for (s = 1; s <= 2; s++) {
            who = (s == 1) ? "trapwatch" : "fping"
            line = ""
            for (k = 1; k <= nkeys; k++) {
                split(keys[k], kp, SUBSEP)
                if (kp[1] == who && kp[2] ~ /^strace_/) line = line " " substr(kp[2], 8) " " vmed(who, kp[2]) ","
            }
            printf "  %-10s%s\n", who, line
        }
    }

    # JSON
    printf "{\n" > json
    printf "  \"when\": \"%s\",\n  \"host\": \"%s\",\n  \"processors\": %d,\n  \"commit\": \"%s\",\n", when, host, cpus, commit > json
    printf "  \"fping\": \"%s\",\n", fping_version > json
    printf "  \"window_seconds\": %d,\n  \"cycles_per_window\": %g,\n  \"repeats\": %d,\n", seconds, cycles, repeat > json
    printf "  \"lab\": {\"receivers\": 88, \"answering\": 30, \"refusing\": 30, \"silent\": 28, \"link\": \"veth\"},\n" > json
    printf "  \"trapwatch\": %s,\n", jsubject("trapwatch") > json
    printf "  \"fping_loop\": %s,\n", jsubject("fping") > json
    printf "  \"ratios_of_medians\": {\"cpu_ms_per_cycle\": %s, \"syscalls_per_cycle\": %s, \"vcsw_per_cycle\": %s, \"rss_end_kib\": %s, \"pss_end_kib\": %s, \"private_end_kib\": %s},\n",
        jratio("cpu_ms_per_cycle"), jratio("syscalls_per_cycle"), jratio("vcsw_per_cycle"),
        jratio("rss_end_kib"), jratio("pss_end_kib"), jratio("private_end_kib") > json
    printf "  \"control\": %s,\n", jsubject("control") > json
    printf "  \"host_figures\": %s,\n", jsubject("host") > json
    printf "  \"allocations\": {\"counter_started\": %s, \"after_cycles\": %d, \"after_commands\": %d, \"after_round_trips\": %d, \"commands\": 1000,\n",
        (started == 1 ? "true" : "false"), a1, a2, a3 > json
    printf "    \"ppc_musl\": {\"counter_started\": %s, \"after_cycles\": %d, \"after_commands\": %d, \"after_round_trips\": %d, \"matrix_codes_2_1_0\": \"%s\"}},\n",
        (mstarted == 1 ? "true" : "false"), m1, m2, m3, mmatrix > json
    printf "  \"stripped_bytes\": {\"native_dynamic\": %d, \"native_static\": %d, \"ppc_dynamic\": %d, \"ppc_static\": %d, \"ppc_musl\": %d, \"ppc_musl_trapwatchctl\": %d, \"ppc_musl_keelson_sim\": %d},\n",
        one("size", "native_dynamic"), one("size", "native_static"), one("size", "ppc_dynamic"), ppcs, musl,
        one("size", "ppc_musl_trapwatchctl"), one("size", "ppc_musl_keelson_sim") > json
    printf "  \"targets\": {\"cpu\": %s, \"syscalls\": %s, \"allocations\": %s, \"ppc_musl_allocations\": %s, \"pss\": %s, \"rss_below_fping\": %s, \"flat\": %s, \"ppc_static_size\": %s, \"ppc_musl_size\": %s, \"get_status_rate\": %s}\n",
        (cpu_ok ? "true" : "false"), (sc >= 0 && sc <= 300 ? "true" : "false"),
        (started == 1 && a3 == 0 ? "true" : "false"), (mstarted == 1 && m3 == 0 ? "true" : "false"),
        (pss_tw >= 0 && pss_tw <= 1024 ? "true" : "false"),
        (rss_tw >= 0 && rss_tw < rss_fp ? "true" : "false"), (flat ? "true" : "false"),
        (ppcs > 0 && ppcs <= 524288 ? "true" : "false"), (musl > 0 && musl <= 262144 ? "true" : "false"),
        (rtt >= 20000 ? "true" : "false") > json
    printf "}\n" > json
    close(json)
    printf "\nwritten: %s\n", json
}
