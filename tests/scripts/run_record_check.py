#!/usr/bin/env python3
"""Validates run record lines against docs/run-record.schema.json.

  run_record_check.py SCHEMA PATH...  every line of each file, and of OrvelVssAgent.exe.runs*.jsonl
                                      in each folder
  run_record_check.py SCHEMA --readme README.md
                                      the example line of the README's section "The run record"

Fails when a line is no JSON or breaks the schema, and when there is no line at all: a check that
found nothing to check has not passed. A file named on the command line (the lines the end-to-end
suites collected) is emptied once all its lines have passed, so that the next test run checks its own
lines only; the folders' files are the agent's and stay as they are.
"""
import glob
import json
import os
import re
import sys

import jsonschema


def readme_lines(path):
    text = open(path, encoding="utf-8").read()
    section = text.split("## The run record", 1)
    if len(section) < 2:
        return []
    body = section[1].split("\n## ", 1)[0]
    return [m.group(1) for m in re.finditer(r"```json\n(\{.*?\})\n```", body, re.S)]


def main(argv):
    if len(argv) < 3 or (argv[2] == "--readme" and len(argv) != 4):
        print(__doc__, file=sys.stderr)
        return 2
    schema = json.load(open(argv[1], encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    if argv[2] == "--readme":
        named = [(argv[3] + " example", line) for line in readme_lines(argv[3])]
    else:
        named = []
        paths = []
        for given in argv[2:]:
            if os.path.isdir(given):
                paths += sorted(glob.glob(os.path.join(given, "OrvelVssAgent.exe.runs*.jsonl")))
            elif os.path.exists(given):
                paths.append(given)
        for path in paths:
            with open(path, "rb") as f:
                for number, raw in enumerate(f, 1):
                    named.append(("%s:%d" % (path, number), raw.decode("utf-8")))
    failures = 0
    for where, line in named:
        try:
            record = json.loads(line)
        except ValueError as e:
            print("%s: not JSON: %s" % (where, e))
            failures += 1
            continue
        for error in validator.iter_errors(record):
            print("%s: %s at %s" % (where, error.message, "/".join(str(p) for p in error.absolute_path)))
            failures += 1
    print("%d lines, %d failures" % (len(named), failures))
    if failures or not named:
        return 1
    if argv[2] != "--readme":
        for given in argv[2:]:
            if os.path.isfile(given):
                open(given, "w").close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
