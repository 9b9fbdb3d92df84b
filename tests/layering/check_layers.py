#!/usr/bin/env python3
"""Fails when an #include "..." in src/ or tools/ points against the layering.

Each folder of src/ may include its own headers and those of the folders listed for it; the
program's entry (service) sits on top, the shared vocabulary (core) and the adapters (platform)
at the bottom. tools/ may use anything below service.
"""
import pathlib
import re
import sys

BELOW_SUBSYSTEMS = {"core", "platform"}
ALLOWED = {
    "platform": set(),
    "core": {"platform"},
    "logging": BELOW_SUBSYSTEMS,
    "notify": {"logging"} | BELOW_SUBSYSTEMS,
    "broker": {"notify", "logging"} | BELOW_SUBSYSTEMS,
    "snmp": {"broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    "supervision": {"broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    "service": {"supervision", "snmp", "broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    "tools": {"supervision", "snmp", "broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def layer_of(root, path):
    parts = path.relative_to(root).parts
    return parts[1] if parts[0] == "src" else parts[0]


def violations(root):
    sources = [p for d in ("src", "tools") for p in (root / d).rglob("*")
               if p.suffix in (".cpp", ".hpp")]
    for path in sorted(sources):
        layer = layer_of(root, path)
        if layer not in ALLOWED:
            yield f"{path.relative_to(root)}: folder '{layer}' has no place in the layering"
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target in ALLOWED and target != layer and target not in ALLOWED[layer]:
                yield f"{path.relative_to(root)}: {layer} must not include {target}/"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = list(violations(root))
    for line in found:
        print(line)
    if not (root / "src").is_dir():
        print(f"no src/ below {root}")
        return 1
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
