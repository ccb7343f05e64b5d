#!/usr/bin/python3
"""Says what a camera frame shows: check-frame.py RAW_RGB24 WIDTH HEIGHT.

Prints "bars N" (how many of the test camera's eight colour bars appear, in
order, along one row across the upper part), "black" when nearly every
sampled pixel is black, and the mean colour."""
import sys

BARS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
        (255, 0, 255), (255, 0, 0), (0, 0, 255), (0, 0, 0)]


def main():
    path, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    data = open(path, "rb").read()
    frame = width * height * 3
    if len(data) < frame:
        print("short %d" % len(data))
        return 1
    data = data[len(data) - len(data) % frame - frame:][:frame]

    def px(x, y):
        i = (y * width + x) * 3
        return data[i], data[i + 1], data[i + 2]

    seen = []
    for x in range(0, width, max(1, width // 256)):
        c = px(x, height * 3 // 10)
        best = min(range(len(BARS)), key=lambda k: sum((a - b) ** 2 for a, b in zip(c, BARS[k])))
        if sum((a - b) ** 2 for a, b in zip(c, BARS[best])) < 60 ** 2 and (not seen or seen[-1] != best):
            seen.append(best)
    run = 0
    for k in seen:  # the longest stretch of bars in their order
        run = run + 1 if k == run else (1 if k == 0 else run)
    samples = [px(x, y) for y in range(0, height, height // 16) for x in range(0, width, width // 16)]
    dark = sum(1 for c in samples if max(c) < 24)
    mean = [sum(c[i] for c in samples) // len(samples) for i in range(3)]
    print("bars %d" % run)
    if dark >= len(samples) * 0.98:
        print("black")
    print("mean %d,%d,%d" % tuple(mean))
    return 0


sys.exit(main())
