#!/usr/bin/python3
"""Measures the tray icon against its panel in a screenshot: panel_contrast.py SHOT.png X Y W H.
In the box given (around the icon, on the panel), the panel is the most common colour; every other
fully drawn pixel is the icon's. Prints the panel's colour, the icon's pixels and the share of them
that stand out from the panel by 3:1 at least (WCAG contrast), and the best contrast found.
Reads the picture through ImageMagick's convert."""
import collections, re, subprocess, sys

shot, x, y, w, h = sys.argv[1], *map(int, sys.argv[2:6])
text = subprocess.run(['convert', shot, '-crop', f'{w}x{h}+{x}+{y}', '+repage', 'txt:-'],
                      capture_output=True, text=True, check=True).stdout
pixels = [tuple(int(v, 16) for v in m.groups())
          for m in re.finditer(r'#([0-9A-F]{2})([0-9A-F]{2})([0-9A-F]{2})', text)]


def luminance(rgb):
    def linear(v):
        v /= 255
        return v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = map(linear, rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


panel = collections.Counter(pixels).most_common(1)[0][0]
icon = [p for p in pixels if p != panel]
standing = [p for p in icon if contrast(p, panel) >= 3]
best = max((contrast(p, panel) for p in icon), default=1)
print(f'panel #{panel[0]:02X}{panel[1]:02X}{panel[2]:02X}: {len(icon)} icon pixels, '
      f'{len(standing)} ({100 * len(standing) // max(1, len(icon))} %) at 3:1 or more, best {best:.1f}:1')
