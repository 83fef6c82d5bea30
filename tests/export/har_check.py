#!/usr/bin/python3
"""Checks an HTTP Archive against the HAR 1.2 schema beside this script, then against the
time sums the format asks for, and prints one line per entry for the test to compare:
method, URL, status, then the SHA-256 of the request and the response body as decoded
(base64 undone), then the response's content.size."""
import base64
import hashlib
import json
import os
import sys

import jsonschema


def body(obj, key):
    if obj is None or "text" not in obj:
        return b""
    if obj.get(key) == "base64":
        return base64.b64decode(obj["text"], validate=True)
    return obj["text"].encode("utf-8")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "har-1.2.schema.json"), encoding="utf-8") as f:
        schema = json.load(f)
    with open(sys.argv[1], "rb") as f:
        har = json.loads(f.read().decode("utf-8", errors="strict"))
    jsonschema.validate(har, schema)
    for entry in har["log"]["entries"]:
        t = entry["timings"]
        total = sum(v for k, v in t.items() if k in
                    ("blocked", "dns", "connect", "send", "wait", "receive") and v >= 0)
        if abs(total - entry["time"]) > 0.002:
            print("time %s is not the sum of the timings %s" % (entry["time"], total))
            return 1
        rq, rs = entry["request"], entry["response"]
        req = body(rq.get("postData"), "_encoding")
        res = body(rs["content"], "encoding")
        if rs["status"] != 0 and len(res) != rs["content"]["size"]:
            print("content.size %d but %d bytes" % (rs["content"]["size"], len(res)))
            return 1
        print(rq["method"], rq["url"], rs["status"], hashlib.sha256(req).hexdigest(),
              hashlib.sha256(res).hexdigest(), rs["content"]["size"])
    return 0


sys.exit(main())
