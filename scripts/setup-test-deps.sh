#!/usr/bin/env bash
# System packages that the Python tests use beyond the build's own:
#   chromium           renders the HTML report to a PNG (python/tests/test_report_html.py);
#                      that test skips, saying why, when no Chromium is found.
#   fonts-dejavu-core  a known font for Chromium and matplotlib, so that the
#                      report renders the same on every machine.
# The Python packages of the tests are in python/requirements-test.txt.
set -euo pipefail

need=()
command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || need+=(chromium)
[ -d /usr/share/fonts/truetype/dejavu ] || need+=(fonts-dejavu-core)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "== installing system packages for the tests: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
