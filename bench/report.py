#!/usr/bin/env python3
"""Joins the native benchmark JSON and the wine benchmark lines into one table."""
import json
import sys


# The escaping benchmarks, each on one way of escaping; the processor's own
# way (and so the product's on this machine) is in their label.
WAYS = [("sse2", "SSE2"), ("unit_loop", "unit loop"), ("wide", "wide, AVX2")]


def processor_way(data):
    for b in data["benchmarks"]:
        if b.get("label", "").startswith("the processor's way: "):
            return b["label"][len("the processor's way: "):]
    return "unknown"


def native_rows(path):
    with open(path) as f:
        data = json.load(f)
    rate = {b["name"]: b["bytes_per_second"] / 1e9 for b in data["benchmarks"] if "bytes_per_second" in b}
    way = processor_way(data)
    pairs = [
        ("WriteMessage, 8 MiB plain text", "BM_WriteMessagePlain", "memcpy of the same bytes", "BM_MemcpyMessage",
         "target >= 25 % of memcpy"),
        ("WriteMessage, 8 MiB escape-heavy text", "BM_WriteMessageEscapeHeavy", "memcpy of the same bytes",
         "BM_MemcpyMessage", ""),
        ("Topic from UTF-16, 3.4 Mi escape-heavy units, to frames", "BM_TopicEscapeHeavy", "memcpy of 8 MiB",
         "BM_MemcpyMessage", "bytes of the frames"),
    ]
    for name, mine, ref_name, ref, note in pairs:
        for key, label in WAYS:
            bench = mine + "/" + key
            if bench not in rate:
                continue
            taken = " (the way this processor takes)" if label.split(",")[0].lower() in way.lower() else ""
            yield {"name": f"{name}, {label}", "figure": rate[bench], "unit": "GB/s", "reference": ref_name,
                   "reference_figure": rate[ref], "ratio": rate[bench] / rate[ref],
                   "note": (note + taken).strip()}
    yield {"name": "DecodeBase64, 32 MiB", "figure": rate["BM_DecodeBase64"], "unit": "GB/s",
           "reference": "OpenSSL EVP_DecodeBlock", "reference_figure": rate["BM_OpenSslDecodeBlock"],
           "ratio": rate["BM_DecodeBase64"] / rate["BM_OpenSslDecodeBlock"],
           "note": "target >= OpenSSL and >= 1 GB/s"}


def wine_lines(path):
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                yield json.loads(line)


def wine_rows(path):
    return (r for r in wine_lines(path) if "table" not in r)


def syscall_table(path):
    rows = sorted((r for r in wine_lines(path) if r.get("table") == "syscalls"), key=lambda r: -r["host"])
    if not rows:
        return []
    lines = ["", "System calls of the host process per ping (strace -f -c, 500 pings 2 ms apart; under wine",
             "each call to the wine server is a write or writev, a read, and two rt_sigprocmask):", "",
             "| system call | host | launcher + floor host |", "|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['name']} | {r['host']:.1f} | {r['reference']:.1f} |")
    return lines


def fmt(x):
    if x == 0:
        return "-"
    if x >= 100:
        return f"{x:,.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.3g}"


def main():
    with open(sys.argv[1]) as f:
        print(f"The escaping way this processor takes, and so the product's on this machine: "
              f"{processor_way(json.load(f))}.")
        print()
    rows = list(native_rows(sys.argv[1]))
    if len(sys.argv) > 2:
        rows += list(wine_rows(sys.argv[2]))
    lines = ["| benchmark | figure | reference (same run) | reference figure | ratio | spread of the ratio | target | note |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        ratio = f"{r['ratio']:.2f}" if r.get("reference_figure") else "-"
        figure = fmt(r['figure']) if r['figure'] else "0"
        spread = f"{r['spread']} ({r['runs']} runs)" if r.get("spread") else "-"
        target = "-"
        if r.get("target"):
            target = ("<= " if r.get("lower_is_better", True) else ">= ") + f"{r['target']:g} x: {r['verdict']}"
        lines.append(f"| {r['name']} | {figure} {r['unit']} | {r['reference'] or '-'} | "
                     f"{fmt(r['reference_figure'])} | {ratio} | {spread} | {target} | {r.get('note', '')} |")
    if len(sys.argv) > 2:
        lines += syscall_table(sys.argv[2])
    print("\n".join(lines))


main()
