#!/usr/bin/env bash
# Fails when a tracked C++ file does not follow .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format-14 >/dev/null || bash scripts/setup.sh
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
echo "format: every C++ file follows .clang-format"
