"""Memory a Parser keeps, and the peak while it is built, against the size of
its schema text, for schemas that are large for their kind: one 1 MB date
format, a million DATE fields sharing one format, field descriptions carrying a
4-million-element array the record never reads, and the lookup tables of
large enums and many record kinds.

Each case runs in a fresh interpreter. "kept" is the heap in use with the
Parser alive minus the heap in use before (glibc's mallinfo2, with Python's
objects allocated through malloc too), "peak" the
resident high-water mark while the Parser is built minus the resident size
before; both are given as a multiple of the schema text's length. The same
text read by json.loads is the peer in the same run.

Run: PYTHONPATH=build/dev-3.12 python bench/bench_memory.py [CASE ...]
"""
import ctypes
import gc
import json
import os
import subprocess
import sys

MEGABYTE = 1 << 20


def schema(fields):
    return {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False,
            "lines": [{"name": "A", "fields": fields}]}


def unknown_array(where):
    # 4,000,000 one-digit elements: about 7.6 MB of text.
    array = "[" + ",".join("1" for _ in range(4_000_000)) + "]"
    if where == "schema object":
        return ('{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, "comment": '
                + array + ', "lines": [{"name": "A", "fields": [{"kind": "STR", "required": true}]}]}')
    key = {"field, after kind": '"comment"', "field, before kind": '"comment"', "values, before kind": '"values"'}[where]
    description = (f'{{"kind": "STR", "required": true, {key}: {array}}}' if "after" in where
                   else f'{{{key}: {array}, "kind": "STR", "required": true}}')
    return ('{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, '
            '"lines": [{"name": "A", "fields": [' + description + ']}]}')


CASES = {
    "1 MB %c format": lambda: json.dumps(schema([{"kind": "DATE", "required": True, "format": "%c" * 524_288}])),
    # Array form without blanks: 31.5 MB of text.
    "1,000,000 DATE fields, one %c x8 format": lambda: json.dumps(
        schema([["DATE", True, "%c" * 8]] * 1_000_000), separators=(",", ":")),
    "4M-element array, unknown key of the schema object": lambda: unknown_array("schema object"),
    "4M-element array, unknown key of a field (after kind)": lambda: unknown_array("field, after kind"),
    "4M-element array, unknown key of a field (before kind)": lambda: unknown_array("field, before kind"),
    "4M-element array, `values` of a STR field (before kind)": lambda: unknown_array("values, before kind"),
    # Schemas whose lookups are tables: enum values and record names by hash.
    "100,000 STR_ENUM values": lambda: json.dumps(
        schema([{"kind": "STR_ENUM", "required": True, "values": [f"V{i:06d}" for i in range(100_000)]}])),
    "100,000 INT_ENUM values": lambda: json.dumps(
        schema([{"kind": "INT_ENUM", "required": True, "values": [i * 7919 for i in range(100_000)]}])),
    "10,000 record kinds": lambda: json.dumps(
        dict(schema([]), lines=[{"name": f"K{i:05d}", "fields": [{"kind": "STR", "required": False}]}
                                for i in range(10_000)])),
}
GOALS = {"1 MB %c format": "kept <= 8x", "1,000,000 DATE fields, one %c x8 format": "kept < 250 MB"}


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def measure(case, build):
    """In this (fresh) interpreter: (text bytes, kept, peak) of build(text)."""
    text = CASES[case]()
    gc.collect()
    heap_before = heap_in_use()
    rss_before = resident("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets VmHWM to the current resident size
    built = build(text)
    peak = resident("VmHWM") - rss_before
    gc.collect()
    kept = heap_in_use() - heap_before
    del built
    return len(text), kept, peak


def child(case, peer):
    if peer == "json.loads":
        build = json.loads
    else:
        import kelvane
        build = kelvane.Parser
    print(json.dumps(measure(case, build)))


def run(case, peer):
    # Python's own allocator through malloc, so that the heap count sees it.
    environment = dict(os.environ, PYTHONMALLOC="malloc")
    out = subprocess.run([sys.executable, __file__, "--child", case, peer], capture_output=True, text=True,
                         check=True, env=environment)
    return json.loads(out.stdout)


def main(cases):
    print(f"{'case':58} {'text':>8} {'kept':>9} {'peak':>9}   json.loads kept / peak")
    for case in cases:
        size, kept, peak = run(case, "kelvane")
        _, json_kept, json_peak = run(case, "json.loads")
        goal = GOALS.get(case, "<= 8x")
        print(f"{case:58} {size / MEGABYTE:6.1f}MB {kept / MEGABYTE:7.1f}MB {peak / MEGABYTE:7.1f}MB   "
              f"{json_kept / MEGABYTE:.1f}MB / {json_peak / MEGABYTE:.1f}MB")
        print(f"{'':58} {'':8} {kept / size:8.2f}x {peak / size:8.2f}x   "
              f"{json_kept / size:.2f}x / {json_peak / size:.2f}x   goal {goal}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3])
    else:
        main(sys.argv[1:] or list(CASES))
