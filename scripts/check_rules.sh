#!/usr/bin/env bash
# The written rules of the tree, checked: every C++ file is formatted as
# .clang-format says, and every #include follows the layer graph of
# docs/ARCHITECTURE.md.
set -euo pipefail
cd "$(dirname "$0")/.."
unformatted=()
while IFS= read -r file; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done < <(git ls-files '*.cpp' '*.h')
if [ ${#unformatted[@]} -gt 0 ]; then
    printf 'not formatted (clang-format -i FILE): %s\n' "${unformatted[@]}"
    exit 1
fi
echo "format: every C++ file is formatted"
python3 scripts/check_layers.py
echo "layers: every include follows docs/ARCHITECTURE.md"
