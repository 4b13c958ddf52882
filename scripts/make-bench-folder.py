"""Makes a benchmark payload folder, spread over nested subfolders.
  make-bench-folder.py FOLDER TOTAL_MIB COUNT
      about TOTAL MiB of random content in COUNT files of mixed sizes, mostly small with a few large
      ones as an application folder has;
  make-bench-folder.py --mixed FOLDER FILE_KIB COUNT
      COUNT files of FILE_KIB KiB each, every other one text-like (compresses about fifteen to one),
      the rest random, as a folder of resources and libraries has."""
import os
import random
import sys

mixed = sys.argv[1] == "--mixed"
args = sys.argv[2:] if mixed else sys.argv[1:]
folder, amount, count = args[0], int(args[1]), int(args[2])
rng = random.Random(1)
folders = [""] + [f"part{a}" for a in range(8)] + [f"part{a}/sub{b}" for a in range(8) for b in range(4)]

if mixed:
    sizes = [amount * 1024] * count
else:
    total = amount * 1024 * 1024
    weights = [rng.lognormvariate(0, 2) for _ in range(count)]
    scale = total / sum(weights)
    sizes = [max(0, int(w * scale)) for w in weights]
    sizes[0] += total - sum(sizes)

# Text that repeats a small set of source lines, with a rare line of its own, as generated code does.
# Its own generator, so that the folders of the other kind stay as they were.
text_rng = random.Random(2)
words = ["".join(text_rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(text_rng.randint(3, 9))) for _ in range(200)]
lines = [f"    {text_rng.choice(words)} {text_rng.choice(words)} = {text_rng.choice(words)}({text_rng.choice(words)});\r\n"
         for _ in range(48)]


def text_like(size):
    out, length = [], 0
    while length < size:
        line = (text_rng.choice(lines) if text_rng.random() < 0.99
                else f"// {text_rng.randrange(100000)} {text_rng.choice(words)}\r\n")
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


for index, size in enumerate(sizes):
    path = os.path.join(folder, rng.choice(folders), f"file{index:05d}.{'txt' if mixed and index % 2 == 0 else 'bin'}")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(text_like(size) if mixed and index % 2 == 0 else os.urandom(size))
print(f"made {count} files, {sum(sizes) / 1048576:.0f} MiB, largest {max(sizes) / 1048576:.1f} MiB")
