#!/usr/bin/env python3
"""Validates real engine output against the JSON Schemas under schema/.

Runs every command once over a scratch copy of the shipped samples (so the checkout is never
written to), validates each printed line and each sidecar written, validates the golden scan,
and checks that changed lines (the `negatives` table: a missing key, a wrong type, an unknown
status, an unknown key, a rule between keys broken) are rejected. Exits non-zero with one
message per problem.

usage: validate.py ENGINE SOURCE_DIR
"""

import copy
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import jsonschema

problems = []
seen = set()  # labels of the cases the run actually exercised


def load_validators(folder):
    """Draft 2020-12 validators by file name, resolving references between the files locally."""
    schemas = {}
    for path in sorted(folder.glob("*.schema.json")):
        schema = json.loads(path.read_text(encoding="utf-8"))
        jsonschema.Draft202012Validator.check_schema(schema)
        schemas[path.name] = (path.resolve().as_uri(), schema)
    store = {uri: schema for uri, schema in schemas.values()}
    return {
        name: jsonschema.Draft202012Validator(
            schema, resolver=jsonschema.RefResolver(uri, schema, store=store))
        for name, (uri, schema) in schemas.items()
    }


def check(validators, schema, doc, where):
    errors = list(validators[schema].iter_errors(doc))
    for error in errors[:5]:
        path = "/".join(str(p) for p in error.absolute_path)
        problems.append(f"{where}: {schema} at /{path}: {error.message[:300]}")
    return not errors


def run(binary, cwd, args, exiftool="/usr/bin/exiftool"):
    """The JSON documents the command printed, one per line."""
    env = dict(os.environ, ZUN_EXIFTOOL=exiftool)
    done = subprocess.run([binary, *args], cwd=cwd, env=env, capture_output=True, timeout=300)
    where = " ".join(args)
    if done.returncode != 0:
        problems.append(f"{where}: exit status {done.returncode}: {done.stderr[-500:]!r}")
    docs = []
    for line in done.stdout.decode("utf-8").splitlines():
        try:
            docs.append(json.loads(line))
        except ValueError:
            problems.append(f"{where}: not a JSON line: {line[:200]}")
    if not docs:
        problems.append(f"{where}: printed nothing")
    return docs


def unmask(doc):
    """A golden scan line with its masked timings and file time as the integers they stand for."""
    masked = "<masked>"
    if doc.get("event") == "done" and doc.get("ms") == masked:
        doc["ms"] = 0
    clip = doc.get("clip")
    if isinstance(clip, dict):
        for key, value in (("mtime_ns", 1), ("scan_ms", 0)):
            if clip.get(key) == masked:
                clip[key] = value
    return doc


def note_scan(doc):
    seen.add("scan:" + doc.get("event", "?"))
    if doc.get("event") == "rejected":
        seen.add("reason:" + doc.get("reason", "?"))
    clip = doc.get("clip")
    if isinstance(clip, dict):
        seen.add("clip ok" if clip.get("ok") else "clip not read")
        for field in clip.get("fields", []):
            seen.add("status:" + str(field.get("status")))


def main(binary, source):
    validators = load_validators(source / "schema")

    for number, line in enumerate((source / "tests/main/golden/scan_samples.jsonl").open()):
        doc = unmask(json.loads(line))
        check(validators, "scan.schema.json", doc, f"golden line {number + 1}")

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="zun-schema-"))
    try:
        shutil.copytree(source / "samples", scratch / "samples")
        (scratch / "empty").mkdir()
        (scratch / "odd").mkdir()
        (scratch / "odd/x.mov").write_bytes(b"not a movie at all\x00\x01\x02")
        # A tool that cannot be started: every clip of the scan fails in exiftool.
        broken = scratch / "not-executable"
        broken.write_text("#!/bin/sh\n")
        (scratch / "copies").mkdir()
        shutil.copy(scratch / "samples/media/A001/C0001.MP4", scratch / "copies")
        (scratch / "copies/C0001.MP4.zun-metadata.json").write_text("{}")  # not ours
        confirm = {"samples/media/A001/C0002.MOV": {"curve": "S-Log3", "gamut": "S-Gamut3"}}
        (scratch / "confirm.json").write_text(json.dumps(confirm))
        check(validators, "confirm.schema.json", confirm, "confirm.json")

        exiftool = "/usr/bin/exiftool"
        for tool in (exiftool, str(broken)):
            for doc in run(binary, scratch, ["version"], tool):
                check(validators, "version.schema.json", doc, "version with " + tool)

        scans = [
            ["scan", "samples/media", "samples/formats", "samples/tc", "odd",
             "samples/media/A001/notes.txt", "no-such-card", "empty"],
            ["scan", "odd/x.mov", "samples/media/A002"],
        ]
        scanned = []
        for args, tool in zip(scans, (exiftool, str(broken))):
            docs = run(binary, scratch, args, tool)
            scanned += docs
            for doc in docs:
                check(validators, "scan.schema.json", doc, " ".join(args))
                note_scan(doc)

        # Every other command, each line checked against its command's schema; `printed` keeps
        # every line of each command, in the order of the runs.
        printed = {}
        for args in (["export", "samples/media", "--confirm", "confirm.json"],
                     ["export", "samples/media", "--out-dir", "shared", "--share"],
                     ["extract", "samples/media/A001/C0001.MP4", "--also", "copies/C0001.MP4",
                      "--also", "samples/media/A002/C0003.MOV", "--keep",
                      "samples/media/A002/C0003.MOV"],
                     ["extract", "samples/media/A001/notes.txt"],
                     ["resolve-csv", "samples/media", "--out", "meta.csv", "--confirm",
                      "confirm.json"],
                     ["resolve-plan", "samples/media", "--confirm", "confirm.json"]):
            docs = run(binary, scratch, args)
            printed.setdefault(args[0], []).extend(docs)
            for doc in docs:
                check(validators, args[0] + ".schema.json", doc, " ".join(args))
                if args[0] == "extract":
                    seen.add("extract:" + str(doc.get("result", doc.get("verdict"))))
                if args[0] == "resolve-plan" and any(
                        isinstance(p, dict) and p.get("input") for p in doc):
                    seen.add("plan input")
        for path in sorted(scratch.rglob("*.zun-metadata.json")):
            if path.parent.name == "copies":
                continue
            doc = json.loads(path.read_text(encoding="utf-8"))
            check(validators, "sidecar.schema.json", doc, str(path.relative_to(scratch)))
            seen.add("sidecar shared" if doc.get("share") else "sidecar")
            if any(f.get("status") == "confirmed" for f in doc.get("fields", [])):
                seen.add("sidecar confirmed")

        expected = {"scan:rejected", "scan:found", "scan:clip", "scan:done", "reason:missing",
                    "reason:unsupported_type", "reason:no_media", "clip ok", "clip not read",
                    "status:found", "status:unavailable", "status:computed", "sidecar",
                    "sidecar shared", "sidecar confirmed", "extract:found", "extract:written",
                    "extract:refused_foreign", "extract:kept_copied", "extract:no_metadata",
                    "plan input"}
        for label in sorted(expected - seen):
            problems.append(f"the run never produced the case {label!r}")

        # Each mutation of a valid document must be rejected.
        clip_line = next(d for d in scanned if d.get("event") == "clip")
        sidecar = json.loads((scratch / "samples/media/A001/C0001.MP4.zun-metadata.json")
                             .read_text(encoding="utf-8"))
        negatives = [
            ("missing required key", "scan.schema.json", clip_line,
             lambda d: d["clip"].pop("ok")),
            ("wrong type", "scan.schema.json", clip_line,
             lambda d: d["clip"].__setitem__("size", str(d["clip"]["size"]))),
            ("unknown status", "sidecar.schema.json", sidecar,
             lambda d: d["fields"][0].__setitem__("status", "guessed")),
            ("unknown key", "resolve-plan.schema.json", printed["resolve-plan"][0],
             lambda d: d[0].__setitem__("colour", "x")),
            ("a second verdict", "export.schema.json", printed["export"][0],
             lambda d: d.__setitem__("result", d["result"] + ' but also Error("b")')),
            ("a line break after the verdict", "export.schema.json", printed["export"][0],
             lambda d: d.__setitem__("result", d["result"] + "\n")),
            ("a found field without a primary source", "scan.schema.json", clip_line,
             lambda d: next(f for f in d["clip"]["fields"] if f["status"] == "found")
             .__setitem__("primary", None)),
            ("an unavailable field with a value", "extract.schema.json", printed["extract"][0],
             lambda d: d["fields"][0].__setitem__("status", "unavailable")),
            ("a repeated column", "resolve-plan.schema.json", printed["resolve-plan"][0],
             lambda d: d[0]["values"].append(d[0]["values"][-1])),
        ]
        for label, schema, valid, mutate in negatives:
            if not validators[schema].is_valid(valid):
                problems.append(f"{label}: the document before the change is already invalid")
            changed = copy.deepcopy(valid)
            mutate(changed)
            if validators[schema].is_valid(changed):
                problems.append(f"{label}: {schema} accepted the changed document")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"schema check: {len(problems)} problem(s), {len(seen)} cases exercised")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(os.path.abspath(sys.argv[1]), pathlib.Path(sys.argv[2]).resolve()))
