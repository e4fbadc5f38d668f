"""Sets the services benchmarks' tables (rounds.h's format) next to each
other, one row per operation: each system's service and bare-call medians in
microseconds and their ratio, then how much longer the second system's
service takes than the first's (across processes, so only indicative).

    python3 bench/platform/side_by_side.py linux.txt windows.txt
"""

import re
import sys

ROW = re.compile(r"^(?P<name>\S.*?)\s+(?P<service>[\d.]+)\s+(?P<bare>[\d.]+)\s+"
                 r"(?P<ratio>[\d.]+)\s+(?P<low>[\d.]+)-(?P<high>[\d.]+)\s*$")
TITLE = re.compile(r"^(?P<system>.+): median of (?P<rounds>\d+) rounds")


def read_table(path):
    system, rows, order = path, {}, []
    with open(path) as table:
        for line in table:
            title = TITLE.match(line)
            if title:
                system = title.group("system")
                continue
            row = ROW.match(line)
            if row:
                rows[row.group("name")] = row.groupdict()
                order.append(row.group("name"))
    return system, rows, order


def main(paths):
    tables = [read_table(path) for path in paths]
    order = []
    for _, _, names in tables:
        order += [name for name in names if name not in order]
    width = 40
    cell = "%10s %10s %6s"
    line = "%-*s" % (width, "")
    for system, _, _ in tables:
        line += "  " + ("%-28s" % system[:28])
    if len(tables) == 2:
        line += "  %s" % "service: right/left"
    print(line)
    line = "%-*s" % (width, "operation (us, median)")
    for _ in tables:
        line += "  " + cell % ("service", "bare", "ratio")
    print(line)
    for name in order:
        line = "%-*s" % (width, name)
        found = []
        for _, rows, _ in tables:
            row = rows.get(name)
            found.append(row)
            if row:
                line += "  " + cell % (row["service"], row["bare"], row["ratio"])
            else:
                line += "  " + cell % ("-", "-", "-")
        if len(tables) == 2 and all(found):
            line += "  %8.1fx" % (float(found[1]["service"]) / float(found[0]["service"]))
        print(line)
    print("ratio: the median of the per-round ratios service/bare (rounds interleaved in "
          "one process)")


if __name__ == "__main__":
    main(sys.argv[1:])
