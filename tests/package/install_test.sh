#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts the program, its manual page and
# its bash and zsh completions where man, bash-completion and zsh look for them
# under that prefix, and each of them works from there.
#
#   install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# The program, found through PATH.
export PATH="$prefix/bin:$PATH"
[[ $(command -v zeduzaredoz) == "$prefix/bin/zeduzaredoz" ]] || fail "zeduzaredoz is not on PATH"
[[ $(zeduzaredoz --version) == "zeduzaredoz $version" ]] || fail "wrong version: $(zeduzaredoz --version)"

# man derives <prefix>/share/man from <prefix>/bin on PATH.
page=$(env -u MANPATH man -w zeduzaredoz)
[[ $page == "$prefix/share/man/man1/zeduzaredoz.1.gz" ]] || fail "man -w found '$page'"
warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
[[ -z $warnings ]] || fail "groff warns about the manual page: $warnings"
[[ $(lexgrog "$page") == *'"zeduzaredoz - TarnelOS - image provenance'* ]] ||
  fail "no NAME line for whatis: $(lexgrog "$page")"
rendered=$(env -u MANPATH MANWIDTH=80 man zeduzaredoz 2>/dev/null | col -b)
for heading in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS 'JSON OUTPUT' 'EXIT STATUS' \
  ENVIRONMENT FILES EXAMPLES 'SEE ALSO'; do
  grep -qx "$heading" <<<"$rendered" || fail "the rendered page has no $heading section"
done
grep -q -- '--security-version SECURITY_VERSION' <<<"$rendered" || fail "sign options missing"

# bash-completion loads the file on demand from <prefix>/share.
bash_reply() {  # COMMAND_LINE WORDS... -> the completions offered for the last word
  XDG_DATA_DIRS="$prefix/share" bash -c '
    source /usr/share/bash-completion/bash_completion
    __load_completion zeduzaredoz || exit 3
    COMP_LINE=$1; shift
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_POINT=${#COMP_LINE}
    $(complete -p zeduzaredoz | sed "s/.*-F \([^ ]*\) .*/\1/") zeduzaredoz \
      "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' bash "$@"
}
[[ $(bash_reply 'zeduzaredoz aut' zeduzaredoz aut) == authorize-install ]] ||
  fail "bash does not complete the subcommand"
[[ $(bash_reply 'zeduzaredoz sign --out x --k' zeduzaredoz sign --out x --k) == '--keystore --kind' ]] ||
  fail "bash offers: $(bash_reply 'zeduzaredoz sign --out x --k' zeduzaredoz sign --out x --k)"
# An option already on the line is not offered again.
[[ -z $(bash_reply 'zeduzaredoz sign --out x --o' zeduzaredoz sign --out x --o) ]] ||
  fail "bash offers --out twice: $(bash_reply 'zeduzaredoz sign --out x --o' zeduzaredoz sign --out x --o)"
[[ $(bash_reply 'zeduzaredoz sign --kind=' zeduzaredoz sign --kind = '') == 'install ota_update' ]] ||
  fail "bash does not complete --kind=VALUE"
[[ $(bash_reply 'zeduzaredoz promote --out ' zeduzaredoz promote --out '') != *--* ]] ||
  fail "bash offers options as a value"
[[ $(bash_reply 'zeduzaredoz authorize-install --keystore k --' \
  zeduzaredoz authorize-install --keystore k --) == '--store --platform --measurement --image-file --checkpoint --format --progress --help' ]] ||
  fail "bash offers the alternative of an option already given"
# Of two alternatives, the one given rules out the other.
[[ $(bash_reply 'zeduzaredoz withdraw --measurement x --' zeduzaredoz withdraw --measurement x --) == \
  '--store --keystore --passphrase-env --platform --new-platform --store-expires-at --checkpoint --format --progress --help' ]] ||
  fail "bash offers: $(bash_reply 'zeduzaredoz withdraw --measurement x --' zeduzaredoz withdraw --measurement x --)"
[[ $(bash_reply 'zeduzaredoz show-store --format=' zeduzaredoz show-store --format = '') == 'text json' ]] ||
  fail "bash does not complete --format=VALUE"

# zsh's compinit binds the function it finds on fpath.
if command -v zsh >/dev/null; then
  zsh_dir="$prefix/share/zsh/site-functions"
  [[ -f $zsh_dir/_zeduzaredoz ]] || fail "no zsh completion in $zsh_dir"
  zsh -n "$zsh_dir/_zeduzaredoz" || fail "zsh cannot parse the completion"
  bound=$(HOME=$prefix zsh -f -c \
    "fpath=('$zsh_dir' \$fpath); autoload -U compinit; compinit -u -D; print -r -- \$_comps[zeduzaredoz]")
  [[ $bound == _zeduzaredoz ]] || fail "zsh binds '$bound'"
else
  echo "zsh is not installed: its completion was only installed, not loaded"
fi
echo "install under $prefix: ok"
