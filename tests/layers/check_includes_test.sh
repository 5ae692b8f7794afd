#!/usr/bin/env bash
# scripts/check-includes passes on the tree as it is and refuses, with the
# offending line named, each way a layer can reach above itself.
#
#   check_includes_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
check=$source_dir/scripts/check-includes
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$check" "$source_dir"

# Runs the check over a copy of the tree changed by `edit`; it must fail and
# name `expected`.
refuses() {
  local edit=$1 expected=$2
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  cp -r "$source_dir/src" "$source_dir/cmake" "$work/tree/"
  (cd "$work/tree" && eval "$edit")
  if "$check" "$work/tree" 2>"$work/out"; then
    echo "not refused: $edit" >&2
    exit 1
  fi
  if ! grep -qF "$expected" "$work/out"; then
    echo "for '$edit' expected '$expected', got:" >&2
    cat "$work/out" >&2
    exit 1
  fi
}

refuses 'echo "#include \"trust/errors.hpp\"" >>src/json/value.cpp' \
  'src/json/value.cpp:'
refuses 'echo "#include \"io/file.hpp\"" >>src/crypto/ed25519.hpp' \
  'crypto may not include "io/file.hpp"'
refuses 'echo "#  include \"cli/command.hpp\"" >>src/encoding/hex.cpp' \
  'encoding may not include "cli/command.hpp"'
refuses 'mkdir -p src/store/deep && echo "#include \"cli/command.hpp\"" >src/store/deep/a.hpp' \
  'src/store/deep/a.hpp:1: store may not include "cli/command.hpp"'
refuses 'echo "#include \"value.hpp\"" >>src/json/writer.cpp' \
  '"value.hpp" names no layer folder'
refuses 'mkdir src/extra && touch src/extra/a.cpp' \
  'src/extra: not a layer'
refuses 'sed -i "s/^set(ZDZ_USES_json contracts encoding)/set(ZDZ_USES_json contracts encoding store)/" cmake/layers.cmake' \
  'json may not use store, which is not below it'
echo "include check: all refusals seen"
