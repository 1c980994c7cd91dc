"""Copies the Python files of the velmora package into a staged package tree.

Only .py files travel: the compiled modules of the staged tree are the ones
built for it, never the ones built in the checkout.
"""
import os
import shutil
import sys


def main(src: str, dst: str) -> None:
    for root, dirs, files in os.walk(src):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        rel = os.path.relpath(root, src)
        os.makedirs(os.path.join(dst, rel), exist_ok=True)
        for name in files:
            if name.endswith(".py"):
                a, b = os.path.join(root, name), os.path.join(dst, rel, name)
                if not os.path.exists(b) or os.path.getmtime(a) > os.path.getmtime(b):
                    shutil.copy2(a, b)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
