#!/usr/bin/env python3
"""Fails when an #include "..." in src/ or tools/ points against the layering.

Each folder of src/ may include its own headers and those of the folders listed for it; the
program's entry (service) sits on top, the shared vocabulary (core) and the adapters (platform)
at the bottom. The platform is cut into parts by what they talk to; a part includes only the
parts listed for it, the folders above may include any part. tools/ may use anything below
service. The build runs this before it compiles anything, so an upward include fails the build.
"""
import pathlib
import re
import sys

PLATFORM_PARTS = {
    "platform/async": set(),
    "platform/host": set(),
    "platform/curl": set(),
    "platform/net": {"platform/async"},
    "platform/tls": {"platform/net"},
    "platform/snmp": {"platform/async"},
    "platform/db": {"platform/async"},
}
SUBSYSTEMS = {"supervision", "snmp", "broker", "notify", "logging", "metrics"}
BELOW_SUBSYSTEMS = {"core", "platform"}
ALLOWED = {
    **PLATFORM_PARTS,
    "core": {"platform"},
    "logging": BELOW_SUBSYSTEMS,
    "notify": {"logging"} | BELOW_SUBSYSTEMS,
    "broker": {"notify", "logging"} | BELOW_SUBSYSTEMS,
    "snmp": {"broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    "supervision": {"broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    # The monitoring figures read the counters of every other subsystem but supervision.
    "metrics": {"snmp", "broker", "notify", "logging"} | BELOW_SUBSYSTEMS,
    "service": SUBSYSTEMS | BELOW_SUBSYSTEMS,
    "tools": SUBSYSTEMS | BELOW_SUBSYSTEMS,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(parts):
    """The layer a path (as parts below the root) or an include target belongs to."""
    if parts[0] == "src":
        parts = parts[1:]
    if parts[0] == "platform" and len(parts) > 2:
        return "platform/" + parts[1]
    return parts[0]


def may_include(layer, target):
    if target == layer or target not in ALLOWED and target != "platform":
        return True
    allowed = ALLOWED[layer]
    return target in allowed or (target.startswith("platform/") and "platform" in allowed)


def problems(root, path):
    relative = path.relative_to(root)
    layer = layer_of(relative.parts)
    if layer == "platform":
        yield f"{relative}: platform code belongs in one of its parts (platform/<part>/)"
        return
    if layer not in ALLOWED:
        yield f"{relative}: folder '{layer}' has no place in the layering"
        return
    for include in INCLUDE.findall(path.read_text(encoding="utf-8")):
        parts = include.split("/")
        if len(parts) < 2:
            continue
        if parts[0] == "platform" and len(parts) == 2:
            yield f"{relative}: \"{include}\" names no platform part (platform/<part>/...)"
            continue
        target = layer_of(parts)
        if not may_include(layer, target):
            yield f"{relative}: {layer} must not include {target}/ (\"{include}\")"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    if not (root / "src").is_dir():
        print(f"no src/ below {root}")
        return 1
    sources = sorted(p for d in ("src", "tools") for p in (root / d).rglob("*")
                     if p.suffix in (".cpp", ".hpp"))
    found = [line for path in sources for line in problems(root, path)]
    for line in found:
        print(f"layering: {line}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
