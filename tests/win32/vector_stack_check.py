#!/usr/bin/env python3
"""Checks the escaping kernels in the host's executable for code that faults
on a misaligned stack.

    vector_stack_check.py OBJDUMP EXE

32-bit Windows gives a function only 4 bytes of stack alignment (an engine
built by another compiler calls back with that), and GCC for Windows does not
align 32-byte values on the stack of either word size. A vector move marked
aligned, or a legacy SSE instruction with a memory operand, faults on a
misaligned address. So, in every function of the kernels' namespaces
(lumiclip::escaping::unit_loop, sse2 and wide):

- no aligned vector move has a memory operand (the assembler makes them
  unaligned: -Wa,-muse-unaligned-vector-move);
- on 32-bit x86, a function whose vector instructions address the stack
  aligns its stack first (force_align_arg_pointer on the kernel entries).

Exits 1 naming each offending instruction, or when no kernel is found.
"""
import re
import subprocess
import sys

KERNELS = re.compile(r"8escaping(9unit_loop|4sse2|4wide)")
ALIGNED_MOVE = re.compile(r"\b(v?movdqa|v?movaps|v?movapd|v?movntdqa?|v?movntp[sd])\b")
VECTOR = re.compile(r"%[xyz]mm\d")
STACK_32 = re.compile(r"\(%(esp|ebp)")
REALIGN_32 = re.compile(r"\band\s+\$0xffffff[ecf]0,%esp")


def functions(disassembly):
    name, body = None, []
    for line in disassembly.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            if name:
                yield name, body
            name, body = m.group(1), []
        elif name and "\t" in line:
            body.append(line.split("\t")[-1].strip())
    if name:
        yield name, body


def main():
    objdump, exe = sys.argv[1], sys.argv[2]
    headers = subprocess.run([objdump, "-f", exe], capture_output=True, text=True, check=True).stdout
    is32 = "i386" in headers and "x86-64" not in headers
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], capture_output=True, text=True,
                          check=True).stdout
    problems, seen = [], 0
    for name, body in functions(text):
        if not KERNELS.search(name):
            continue
        seen += 1
        realigned = any(REALIGN_32.search(i) for i in body[:12])
        for instruction in body:
            if not VECTOR.search(instruction):
                continue
            if ALIGNED_MOVE.search(instruction) and "(" in instruction:
                problems.append("%s: aligned vector move with a memory operand: %s" % (name, instruction))
            elif is32 and STACK_32.search(instruction) and not realigned:
                problems.append("%s: stack operand without the stack aligned first: %s" % (name, instruction))
    if seen == 0:
        problems.append("no escaping kernel found in %s (are its symbols stripped?)" % exe)
    for p in problems:
        print(p)
    print("%d kernel functions checked (%s), %d problems" % (seen, "32-bit" if is32 else "64-bit", len(problems)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
