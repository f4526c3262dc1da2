#!/usr/bin/env python3
"""Fails when compiled AVX code leaves for other code with the vector
registers' upper halves dirty.

    upper_state_check.py BINARY      (objdump from $OBJDUMP, else objdump)

SSE code run while the upper halves are dirty waits on each register's old
value, which serialises work the CPU would otherwise overlap; the bytes stay
the same, only the time suffers, so no other test sees it. Each function is
read in address order: after an instruction that writes ymm0-15 or zmm0-15,
a call or jump into another function (other than through the PLT) or a
return must come after a vzeroupper or vzeroall.
"""
import os
import re
import subprocess
import sys

WIDE = re.compile(r'%[yz]mm([0-9]|1[0-5])\b')
LEAVE = re.compile(r'\s(?:call|jmp)\s+[0-9a-f]+ <([^>+]+)')


def main():
    listing = subprocess.run([os.environ.get('OBJDUMP', 'objdump'), '-d', '--no-show-raw-insn', '-C', sys.argv[1]],
                             check=True, capture_output=True, text=True).stdout
    function, dirty, faults = None, False, []
    for line in listing.splitlines():
        start = re.match(r'^[0-9a-f]+ <(.*)>:$', line)
        if start:
            function, dirty = start.group(1), False
            continue
        if function is None:
            continue
        if 'vzeroupper' in line or 'vzeroall' in line:
            dirty = False
        elif WIDE.search(line):
            dirty = True
        leave = LEAVE.search(line)
        if dirty and leave and leave.group(1) != function and '@plt' not in leave.group(1):
            faults.append('%s -> %s' % (function, leave.group(1)))
        elif dirty and re.search(r'\sret', line):
            faults.append('%s returns' % function)
    for fault in faults:
        print('upper halves dirty: ' + fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
