#!/usr/bin/env python3
"""Writes the benchmark corpus, the same bytes for the same seed on every machine:

  tree/     10,000 text-like files of 1-16 KiB in nested folders, about half of them *.qorvels,
            and a few empty folders
  big/      two 256 MiB files: log-like text, and one half random, half text
  random/   one 256 MiB file of random bytes
  empty/    100,000 empty files

    bench/corpus.py [--scale 1.0] [--seed 1] DESTINATION

--scale shrinks every count and size (0.1: 1,000 files, 25.6 MiB files, 10,000 empty files).
A part that is already there, made with the same scale and seed, is kept.
"""
import argparse
import bisect
import itertools
import json
import os
import random
import shutil

MiB = 1 << 20
SYLLABLES = ("ka ro mi ne tu sa le vo ri an el or is qu ba de fi go hu ja li mo nu pe "
             "ra si ta ve wo xi yu ze").split()
EXTENSIONS = ("txt", "md", "log", "csv", "json")


def vocabulary(rng, count=4000):
    """Pseudo-words with Zipf-like frequencies, as words are in text."""
    words = sorted({"".join(rng.choice(SYLLABLES) for _ in range(rng.choice((1, 2, 2, 3, 3, 4))))
                    for _ in range(count * 2)})
    rng.shuffle(words)
    words = words[:count]
    weights = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(words))))
    return words, weights


class TextMaker:
    def __init__(self, rng):
        self.rng = rng
        self.words, self.weights = vocabulary(rng)

    def word(self):
        return self.words[bisect.bisect(self.weights, self.rng.random() * self.weights[-1])]

    def sentence(self):
        words = [self.word() for _ in range(self.rng.randint(4, 18))]
        words[0] = words[0].capitalize()
        if self.rng.random() < 0.3:
            words.insert(self.rng.randrange(len(words)), str(self.rng.randint(0, 99999)))
        return " ".join(words) + self.rng.choice((".", ".", ".", ",", "?", ":"))

    def paragraph(self):
        return " ".join(self.sentence() for _ in range(self.rng.randint(2, 8))) + "\n\n"

    def pool(self, size):
        parts, total = [], 0
        while total < size:
            parts.append(self.paragraph())
            total += len(parts[-1])
        return "".join(parts).encode()


def log_pool(rng, text, size):
    levels = ("INFO", "INFO", "INFO", "DEBUG", "DEBUG", "WARN", "ERROR")
    components = [text.word() + "." + text.word() for _ in range(40)]
    lines, total, second = [], 0, 0
    while total < size:
        second += rng.randint(0, 2)
        line = (f"2026-12-{1 + second // 86400 % 28:02d}T{second // 3600 % 24:02d}:"
                f"{second // 60 % 60:02d}:{second % 60:02d}.{rng.randint(0, 999):03d}Z "
                f"{rng.choice(levels):5} [{rng.choice(components)}] request={rng.getrandbits(48):012x} "
                f"took={rng.randint(1, 5000)}ms {' '.join(text.word() for _ in range(rng.randint(3, 14)))}\n")
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def write_from_pool(path, size, rng, pool, random_share=0.0):
    """Slices of the pool (and random blocks): no repeat lies within DEFLATE's 32 KiB window."""
    with open(path, "wb") as out:
        written = 0
        while written < size:
            piece = min(rng.randint(64 << 10, MiB), size - written)
            if rng.random() < random_share:
                out.write(rng.randbytes(piece))
            else:
                start = rng.randrange(0, len(pool) - piece)
                out.write(pool[start:start + piece])
            written += piece


def make_tree(root, scale, rng, text):
    pool = text.pool(8 * MiB)
    files = max(1, round(10000 * scale))
    for index in range(files):
        folder = os.path.join(root, f"project{index // 1000:02d}", f"part{index // 100 % 10}",
                              f"set{index // 25 % 4}")
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(1024, 16384)
        start = rng.randrange(0, len(pool) - size)
        extension = "qorvels" if rng.random() < 0.5 else rng.choice(EXTENSIONS)
        with open(os.path.join(folder, f"{text.word()}-{index:05d}.{extension}"), "wb") as out:
            out.write(pool[start:start + size])
    for index in range(max(1, round(5 * scale))):
        os.makedirs(os.path.join(root, f"project{index:02d}", f"empty{index}"), exist_ok=True)


def make_big(root, scale, rng, text):
    os.makedirs(root)
    size = max(MiB, round(256 * MiB * scale))
    write_from_pool(os.path.join(root, "service.log"), size, rng, log_pool(rng, text, 16 * MiB))
    write_from_pool(os.path.join(root, "mixed.bin"), size, rng, text.pool(16 * MiB), 0.5)


def make_random(root, scale, rng, _text):
    os.makedirs(root)
    size = max(MiB, round(256 * MiB * scale))
    with open(os.path.join(root, "random.bin"), "wb") as out:
        for written in range(0, size, 16 * MiB):
            out.write(rng.randbytes(min(16 * MiB, size - written)))


def make_empty(root, scale, _rng, _text):
    files = max(1, round(100000 * scale))
    for index in range(files):
        folder = os.path.join(root, f"group{index // 1000:03d}")
        if index % 1000 == 0:
            os.makedirs(folder)
        open(os.path.join(folder, f"empty{index:06d}"), "wb").close()


PARTS = {"tree": make_tree, "big": make_big, "random": make_random, "empty": make_empty}


def make_corpus(destination, scale=1.0, seed=1, parts=PARTS):
    """Makes the missing parts; returns {part: folder}."""
    os.makedirs(destination, exist_ok=True)
    folders = {}
    for offset, name in enumerate(PARTS):
        if name not in parts:
            continue
        root = os.path.join(destination, name)
        stamp = os.path.join(destination, f".{name}.json")
        wanted = {"scale": scale, "seed": seed, "version": 1}
        if os.path.isdir(root) and os.path.exists(stamp) and json.load(open(stamp)) == wanted:
            folders[name] = root
            continue
        shutil.rmtree(root, ignore_errors=True)
        rng = random.Random(seed * 1000 + offset)
        PARTS[name](root, scale, rng, TextMaker(rng))
        with open(stamp, "w") as out:
            json.dump(wanted, out)
        folders[name] = root
    return folders


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("destination")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for name, folder in make_corpus(args.destination, args.scale, args.seed).items():
        print(f"{name}: {folder}")


if __name__ == "__main__":
    main()
