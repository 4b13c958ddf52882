"""Makes a benchmark payload folder: about TOTAL MiB of random content in COUNT files of mixed sizes,
mostly small with a few large ones as an application folder has, spread over nested subfolders.
usage: make-bench-folder.py FOLDER TOTAL_MIB COUNT"""
import os
import random
import sys

folder, total, count = sys.argv[1], int(sys.argv[2]) * 1024 * 1024, int(sys.argv[3])
rng = random.Random(1)
weights = [rng.lognormvariate(0, 2) for _ in range(count)]
scale = total / sum(weights)
sizes = [max(0, int(w * scale)) for w in weights]
sizes[0] += total - sum(sizes)
folders = [""] + [f"part{a}" for a in range(8)] + [f"part{a}/sub{b}" for a in range(8) for b in range(4)]
for index, size in enumerate(sizes):
    path = os.path.join(folder, rng.choice(folders), f"file{index:05d}.bin")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
print(f"made {count} files, {total / 1048576:.0f} MiB, largest {max(sizes) / 1048576:.1f} MiB")
