"""Prints what a process's resident memory is made of, from a copy of its /proc/PID/smaps.
  smaps-breakdown.py SMAPS [THREADS]
Groups: the program's own image, Wine's Windows libraries, Wine's and the system's Linux libraries,
other mapped files, the stack regions of the threads other than the first (anonymous, read and write, a
mebibyte less 8 KiB beyond the thread's reserve: Wine adds a mebibyte of its own, and about 970 KiB of
it is resident for every thread, however little the thread does; their count is printed beside the
process's thread count), and the rest of the anonymous memory (heaps and buffers), whose largest
regions are listed."""
import sys

smaps, threads = sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "?"
regions = []
for line in open(smaps):
    fields = line.split()
    if "-" in fields[0] and not fields[0].endswith(":"):
        start, end = (int(part, 16) for part in fields[0].split("-"))
        regions.append({"start": start, "end": end, "size": (end - start) // 1024, "perms": fields[1],
                        "path": " ".join(fields[5:]) if len(fields) > 5 else "", "rss": 0})
    elif fields[0] == "Rss:":
        regions[-1]["rss"] = int(fields[1])


# Wine maps the program's headers from its file and copies its sections into anonymous memory right
# after them: the regions that follow the file's without a gap, up to the first inaccessible one, are
# the image.
image_end = None
for region in regions:
    if region["path"].endswith("TessaraAppSetup.exe") or (
        image_end == region["start"] and not region["path"] and region["perms"] != "---p"):
        region["image"] = True
        image_end = region["end"]
    elif image_end is not None:
        image_end = -1


def group(region):
    path = region["path"]
    if region.get("image"):
        return "the program's image"
    if "/wine/" in path and "-windows/" in path:
        return "Wine's Windows libraries"
    if "/wine/" in path and ".so" in path:
        return "Wine's Linux libraries"
    if ".so" in path:
        return "other Linux libraries"
    if path.startswith("/"):
        return "other mapped files (locale tables, fonts, the registry)"
    if path in ("[heap]", "[stack]"):
        return "Linux heap and main stack"
    if path == "" and region["perms"] == "rw-p" and region["size"] >= 2040 and region["size"] % 1024 == 1016:
        return "thread stacks"
    return "other anonymous memory (heaps, buffers, the first thread's stack)"


totals, counts = {}, {}
for region in regions:
    name = group(region)
    totals[name] = totals.get(name, 0) + region["rss"]
    counts[name] = counts.get(name, 0) + (1 if region["rss"] else 0)
for name, kib in sorted(totals.items(), key=lambda item: -item[1]):
    print(f"  {kib / 1024:6.1f} MiB  {name} ({counts[name]} regions)")
print(f"  {sum(totals.values()) / 1024:6.1f} MiB  in all; threads: {threads}")
anonymous = [r for r in regions if group(r).startswith("other anonymous")]
print("  largest other anonymous regions: " +
      ", ".join(f"{r['rss']} of {r['size']} KiB" for r in sorted(anonymous, key=lambda r: -r["rss"])[:6]))
