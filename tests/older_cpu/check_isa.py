"""Checks the compiled objects of the core: AVX2 and FMA instructions appear only in the kernel
file built for them, and every out-of-line function of that file is its own (none can stand in,
at link time, for a copy another file compiled for every processor).

    python tests/older_cpu/check_isa.py BUILD_DIR
"""

import re
import subprocess
import sys
from pathlib import Path

WIDE = re.compile(r"\b(v\w+)\b.*%ymm|\bvfn?m(add|sub)|\bvpbroadcast|\bvperm|\bvinserti|\bvextracti")


def main():
    objects = sorted(Path(sys.argv[1]).rglob("*.o"))
    kernels = [o for o in objects if o.name == "kernels_avx2.cpp.o"]
    faults = []
    if len(kernels) != 1:
        faults.append(f"expected one kernels_avx2.cpp.o under {sys.argv[1]}, found {len(kernels)}")
    for obj in objects:
        if obj in kernels or "zelt_index" not in str(obj):
            continue
        asm = subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(obj)],
                             capture_output=True, text=True, check=True).stdout
        hits = [line.strip() for line in asm.splitlines() if WIDE.search(line)]
        if hits:
            faults.append(f"{obj.name} holds AVX2/FMA instructions, e.g. {hits[0]}")
    for obj in kernels:
        symbols = subprocess.run(["nm", "-C", "--defined-only", str(obj)], capture_output=True,
                                 text=True, check=True).stdout.splitlines()
        shared = [s for s in symbols if s.split()[1:2] and s.split()[1] in "WVu"
                  and "zelt::avx2::" not in s]
        faults += [f"kernels_avx2.cpp.o defines a shareable symbol: {s}" for s in shared]
    for fault in faults:
        print(fault)
    print(f"{len(objects)} objects checked: " + ("sound" if not faults else "FAULTY"))
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
