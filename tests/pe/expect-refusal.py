#!/usr/bin/env python3
"""Runs the image check on an image built to break one rule and passes only
when the check refuses it on that rule, and on no other."""
import re
import subprocess
import sys

checker, image, rule = sys.argv[1:4]
result = subprocess.run([sys.executable, checker, image], capture_output=True, text=True)
print(result.stdout, end="")
print(result.stderr, end="", file=sys.stderr)
failed = re.findall(r"^  FAIL  (.+?)\s{2,}", result.stdout, re.MULTILINE)
if result.returncode != 1:
    sys.exit("expected exit status 1 (a rule failed), got %d" % result.returncode)
if failed != [rule]:
    sys.exit("expected the rule '%s' alone to fail, but failed: %s" % (rule, failed or "none"))
print("refused on '%s' alone, as it should be" % rule)
