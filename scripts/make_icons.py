#!/usr/bin/env python3
"""Writes the six toolbar icons of the analyser as 32x32 XPM images."""
import math
import os
import sys

SIZE = 32


def canvas():
    return [[' '] * SIZE for _ in range(SIZE)]


def disc(img, cx, cy, r, ch):
    for y in range(SIZE):
        for x in range(SIZE):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                img[y][x] = ch


def ring(img, cx, cy, r, width, ch):
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - cx, y - cy)
            if r - width <= d <= r:
                img[y][x] = ch


def rect(img, x0, y0, x1, y1, ch):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = ch


def line(img, x0, y0, x1, y1, ch, width=1):
    steps = max(abs(x1 - x0), abs(y1 - y0)) * 2 + 1
    for i in range(steps + 1):
        t = i / steps
        x = round(x0 + (x1 - x0) * t)
        y = round(y0 + (y1 - y0) * t)
        for dy in range(-(width // 2), width - width // 2):
            for dx in range(-(width // 2), width - width // 2):
                if 0 <= x + dx < SIZE and 0 <= y + dy < SIZE:
                    img[y + dy][x + dx] = ch


def quit_icon():
    img = canvas()
    disc(img, 15.5, 15.5, 14, 'r')
    line(img, 9, 9, 22, 22, 'w', 3)
    line(img, 22, 9, 9, 22, 'w', 3)
    return img, {'r': '#CC2222', 'w': '#FFFFFF'}


def run_icon():
    img = canvas()
    for y in range(4, 28):
        half = (y - 4) if y < 16 else (27 - y)
        for x in range(6, 6 + half + 1):
            img[y][x] = 'g'
    return img, {'g': '#22AA33'}


def packs_icon():
    img = canvas()
    colours = 'rgbyrgby'
    for row in range(4):
        for col in range(4):
            rect(img, 2 + col * 7, 2 + row * 7, 7 + col * 7, 7 + row * 7, colours[(row + col) % 8])
    return img, {'r': '#DD3333', 'g': '#33AA44', 'b': '#3355DD', 'y': '#DDCC22'}


def buffer_icon():
    img = canvas()
    rect(img, 3, 3, 4, 28, 'k')
    rect(img, 3, 27, 28, 28, 'k')
    pts = [(5, 24), (9, 10), (12, 20), (16, 8), (20, 22), (24, 12), (28, 18)]
    for (x0, y0), (x1, y1) in zip(pts, pts[1:]):
        line(img, x0, y0, x1, y1, 'g', 2)
    return img, {'k': '#000000', 'g': '#00AA00'}


def clocks_icon():
    img = canvas()
    disc(img, 15.5, 15.5, 14, 'w')
    ring(img, 15.5, 15.5, 14, 2, 'k')
    line(img, 15, 15, 15, 6, 'b', 2)
    line(img, 15, 15, 22, 19, 'r', 2)
    return img, {'w': '#FFFFFF', 'k': '#000000', 'b': '#0000FF', 'r': '#FF0000'}


def plugins_icon():
    img = canvas()
    rect(img, 6, 10, 25, 27, 'o')
    rect(img, 10, 3, 12, 10, 'k')
    rect(img, 19, 3, 21, 10, 'k')
    rect(img, 14, 27, 17, 31, 'k')
    return img, {'o': '#EE8800', 'k': '#444444'}


def write_xpm(path, name, img, colours):
    keys = [' '] + sorted(colours)
    with open(path, 'w') as f:
        f.write('/* XPM */\n')
        f.write('static char * %s_xpm[] = {\n' % name)
        f.write('"%d %d %d 1",\n' % (SIZE, SIZE, len(keys)))
        f.write('" \tc None",\n')
        for k in sorted(colours):
            f.write('"%s\tc %s",\n' % (k, colours[k]))
        rows = ['"%s"' % ''.join(r) for r in img]
        f.write(',\n'.join(rows))
        f.write('};\n')


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'data', 'icons')
    os.makedirs(out, exist_ok=True)
    for name, make in [('quit_app', quit_icon), ('run_button', run_icon), ('packs_button', packs_icon),
                       ('buffer_analysis', buffer_icon), ('clocks_button', clocks_icon), ('plugins', plugins_icon)]:
        img, colours = make()
        write_xpm(os.path.join(out, name + '.xpm'), name, img, colours)


if __name__ == '__main__':
    main()
