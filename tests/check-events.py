#!/usr/bin/env python3
"""Checks kestrel's --events record with Python's own JSON parser.

  check-events.py events FILE   every line one JSON object; the events, their
                                order and every field with its type. Prints
                                "stages=a,b,...;failed=X;status=N" on success.
  check-events.py names FILE    each line {"name": <string>, "hex": <bytes>}:
                                the string must decode to the bytes as
                                Python's "replace" UTF-8 decoder reads them.
  check-events.py results FILE  kestrel-gang's results: one result object per
                                line with a "port"; prints "port=status" lines.
Exits 1 with a message on the first violation.
"""
import json
import re
import sys

STAGES = ["boot", "sync", "layout", "select", "enter", "load", "erase", "program",
          "verify", "sum_check", "run"]
HEX8 = re.compile(r"^[0-9A-F]{8}$")
HEX64 = re.compile(r"^[0-9a-f]{64}$")


class Bad(Exception):
    pass


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def is_num(v):
    return (isinstance(v, (int, float))) and not isinstance(v, bool)


def need(obj, key, check, what):
    if key not in obj:
        raise Bad("%s: no field %r in %r" % (obj.get("event"), key, obj))
    if not check(obj[key]):
        raise Bad("%s: field %r is not %s: %r" % (obj.get("event"), key, what, obj[key]))


def lines_of(path):
    data = open(path, "rb").read()
    if data and not data.endswith(b"\n"):
        raise Bad("the last line has no line end")
    out = []
    for n, raw in enumerate(data.split(b"\n")[:-1], 1):
        try:
            obj = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            raise Bad("line %d is not JSON: %s: %r" % (n, e, raw))
        if not isinstance(obj, dict):
            raise Bad("line %d is not an object" % n)
        out.append(obj)
    return out


def check_result(o):
    need(o, "status", lambda v: is_int(v) and 0 <= v <= 255, "a status")
    need(o, "failed_stage", lambda v: v is None or v in STAGES, "a stage or null")
    for k in ("erased_blocks", "programmed_units", "skipped_units", "bytes_loaded"):
        need(o, k, lambda v: is_int(v) and v >= 0, "a count")
    need(o, "sum", lambda v: v is None or (isinstance(v, dict) and HEX8.match(
        str(v.get("device"))) is not None and HEX8.match(str(v.get("expected"))) is not None),
         "null or {device, expected}")
    need(o, "seconds", lambda v: is_num(v) and v >= 0, "a number")
    if o["status"] == 0 and o["failed_stage"] is not None:
        raise Bad("status %d with failed stage %r" % (o["status"], o["failed_stage"]))


def check_events(path):
    events = lines_of(path)
    if not events:
        raise Bad("no events")
    last_t = 0.0
    current = None
    begun = []
    failed = None
    progress = {}
    device_seen = False
    for i, o in enumerate(events):
        need(o, "event", lambda v: isinstance(v, str), "a string")
        need(o, "t", lambda v: is_num(v) and v >= 0, "a number")
        if o["t"] < last_t:
            raise Bad("time goes back at %r" % o)
        last_t = o["t"]
        ev = o["event"]
        if (ev == "start") != (i == 0):
            raise Bad("start must be the first event and only it")
        if (ev == "result") != (i == len(events) - 1):
            raise Bad("result must be the last event and only it")
        if ev == "start":
            need(o, "version", lambda v: isinstance(v, str) and v, "a version")
            need(o, "device", lambda v: isinstance(v, str), "a string")
            need(o, "baudrate", lambda v: isinstance(v, str), "a string")
            need(o, "frequency_hz", is_int, "a number")
            need(o, "options", lambda v: isinstance(v, dict), "an object")
            for k in ("verify", "sum_check", "skip_blank"):
                need(o["options"], k, lambda v: isinstance(v, bool), "true or false")
            need(o["options"], "read_size", is_int, "a number")
            need(o["options"], "retries", is_int, "a number")
            need(o, "images", lambda v: isinstance(v, list) and v, "a list")
            for img in o["images"]:
                need(img, "name", lambda v: isinstance(v, str), "a string")
                need(img, "format", lambda v: v in ("srec", "ihex", "elf", "bin"), "a format")
                need(img, "start", lambda v, f=img["format"]: is_int(v) if f == "bin" else v is None,
                     "a number for bin, else null")
                need(img, "size", lambda v: v is None or is_int(v), "a number or null")
                need(img, "sha256", lambda v: v is None or HEX64.match(v) is not None, "a digest")
        elif ev == "stage":
            need(o, "stage", lambda v: v in STAGES, "a stage")
            need(o, "state", lambda v: v in ("begin", "end"), "begin or end")
            if o["state"] == "begin":
                if current is not None:
                    raise Bad("%s begins before %s ended" % (o["stage"], current))
                if begun and STAGES.index(o["stage"]) <= STAGES.index(begun[-1]):
                    raise Bad("%s begins out of order" % o["stage"])
                current = o["stage"]
                begun.append(current)
            else:
                need(o, "ok", lambda v: isinstance(v, bool), "true or false")
                if o["stage"] != current:
                    raise Bad("%s ends but %s runs" % (o["stage"], current))
                current = None
                if not o["ok"]:
                    failed = o["stage"]
        elif ev == "device":
            if device_seen or begun[-1:] != ["select"] or current is not None:
                raise Bad("device event not once right after the selection")
            device_seen = True
            need(o, "code", lambda v: isinstance(v, str) and len(v) == 4, "a 4-character code")
            need(o, "name", lambda v: isinstance(v, str), "a string")
            for k in ("flash_size", "unit", "blocks", "baudrate"):
                need(o, k, is_int, "a number")
        elif ev == "progress":
            need(o, "stage", lambda v: v == current, "the running stage")
            need(o, "percent", lambda v: is_int(v) and 0 <= v <= 100, "a percentage")
            need(o, "done", is_int, "a number")
            need(o, "total", is_int, "a number")
            if o["done"] > o["total"]:
                raise Bad("done above total: %r" % o)
            if o["percent"] <= progress.get(current, -1):
                raise Bad("percentage not rising: %r" % o)
            progress[current] = o["percent"]
        elif ev == "recovery":
            need(o, "stage", lambda v: v == current, "the running stage")
            need(o, "command", is_int, "a number")
            need(o, "fault", lambda v: isinstance(v, str), "a string")
            need(o, "try", is_int, "a number")
        elif ev == "result":
            if current is not None:
                raise Bad("%s never ended" % current)
            check_result(o)
            if o["failed_stage"] != failed:
                raise Bad("failed_stage %r, but the stage that ended not ok is %r"
                          % (o["failed_stage"], failed))
        else:
            raise Bad("unknown event %r" % ev)
    res = events[-1]
    print("stages=%s;failed=%s;status=%d" % (",".join(begun), res["failed_stage"], res["status"]))


def check_names(path):
    n = 0
    for o in lines_of(path):
        want = bytes.fromhex(o["hex"]).decode("utf-8", errors="replace")
        if o["name"] != want:
            raise Bad("%s decodes to %r, not %r" % (o["hex"], o["name"], want))
        n += 1
    print("names=%d" % n)


def check_results(path):
    for o in lines_of(path):
        if o.get("event") != "result":
            raise Bad("not a result: %r" % o)
        need(o, "port", lambda v: isinstance(v, str), "a string")
        check_result(o)
        print("%s=%d" % (o["port"], o["status"]))


if __name__ == "__main__":
    try:
        {"events": check_events, "names": check_names, "results": check_results}[sys.argv[1]](
            sys.argv[2])
    except Bad as e:
        print("invalid: %s" % e)
        sys.exit(1)
