"""Makes this bundle's Python package importable, without a network.

    /usr/bin/python3 python/install.py            # for this user
    /usr/bin/python3 python/install.py --target DIR   # a venv's site-packages, say
    /usr/bin/python3 python/install.py --remove

Writes ``dolvanex.pth`` naming this folder into the user's site-packages
(or DIR): Python then finds ``dolvanex`` here, and the package finds the
bundle's ``dolvanex-host`` beside it. The bundle stays where it is; move it
and run this again. Needs Debian's python3-numpy, -pandas, -scipy,
-matplotlib, -tqdm and -distributed (scripts/install-deps.sh installs them).
"""

from __future__ import annotations

import argparse
import site
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
NAME = "dolvanex.pth"


def main() -> int:
    parser = argparse.ArgumentParser(description="Make the bundle's dolvanex package importable")
    parser.add_argument("--target", help="the folder for dolvanex.pth (default: the user's site-packages)")
    parser.add_argument("--remove", action="store_true", help="take dolvanex.pth away again")
    a = parser.parse_args()
    if a.target:
        target = Path(a.target)
    elif site.ENABLE_USER_SITE:
        target = Path(site.getusersitepackages())
    else:
        print("install.py: this Python has no user site-packages (a venv?); give --target", file=sys.stderr)
        return 1
    pth = target / NAME
    if a.remove:
        pth.unlink(missing_ok=True)
        print(f"removed {pth}")
        return 0
    target.mkdir(parents=True, exist_ok=True)
    pth.write_text(f"{HERE}\n", encoding="utf-8")
    print(f"wrote {pth}: 'import dolvanex' now finds {HERE / 'dolvanex'}, which runs {HERE.parent / 'dolvanex-host'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
