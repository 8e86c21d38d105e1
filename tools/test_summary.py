#!/usr/bin/env python3
"""The closing line of `make test`: what ran and passed, from the JUnit
results CTest and pytest wrote into one directory.

  native-dragonbox-ON.xml, native-dragonbox-OFF.xml   the two native builds
  python.xml                                          pytest on the first interpreter
  python-other.xml, or python-other.none              the second, or why there was none

Exits with 1, naming what failed, when a result is missing or holds a failure.
"""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path

NATIVE = (("native-dragonbox-ON", "with Dragonbox"), ("native-dragonbox-OFF", "with std::to_chars"))


class Missing(Exception):
    pass


def counts(path):
    """(suite name, tests, failed, skipped) summed over the file's suites."""
    if not path.is_file():
        raise Missing(f"no results in {path}")
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")

    def total(key):
        return sum(int(s.get(key, 0)) for s in suites)

    return (
        suites[0].get("name", "") if suites else "",
        total("tests"),
        total("failures") + total("errors"),
        total("skipped") + total("disabled"),
    )


def describe(results):
    """(line, failed): one clause per run."""
    parts, failed = [], False
    native = []
    for name, label in NATIVE:
        _, tests, bad, skipped = counts(results / f"{name}.xml")
        failed |= bool(bad) or not tests
        native.append(f"{tests - bad - skipped} {label}" + (f" ({bad} FAILED)" if bad else ""))
    parts.append("native " + ", ".join(native))
    python = []
    for name in ("python", "python-other"):
        none = results / f"{name}.none"
        if none.is_file():
            python.append(none.read_text().strip())
            continue
        version, tests, bad, skipped = counts(results / f"{name}.xml")
        failed |= bool(bad) or not tests
        python.append(
            f"{tests - bad - skipped} on {version or 'Python'}"
            + (f" ({skipped} skipped)" if skipped else "")
            + (f" ({bad} FAILED)" if bad else "")
        )
    parts.append("Python " + ", ".join(python))
    return "; ".join(parts), failed


def main():
    results = Path(sys.argv[1] if len(sys.argv) > 1 else "build/test-results")
    try:
        line, failed = describe(results)
    except (Missing, ET.ParseError) as err:
        print(f"make test: incomplete: {err}")
        return 1
    print(("make test: FAILED: " if failed else "make test: all passed: ") + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
