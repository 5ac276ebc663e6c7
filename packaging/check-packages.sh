#!/usr/bin/env bash
# Checks every Debian package in a build folder as a Debian maintainer would:
#
#   packaging/check-packages.sh [BUILD_DIR]      (default: build/package)
#
# 1. lintian -EvIL +pedantic: no error and no warning; every info,
#    pedantic or overridden tag must be explained in docs/packaging.md.
# 2. hardening-check on every ELF file the packages ship. Two of its checks
#    cannot pass as such and are replaced by checks on the unstripped twin
#    of the file in BUILD_DIR (the same file before packaging):
#    - control-flow protection: Debian 12's C start files (crt1.o, crti.o,
#      crtn.o) carry no CET marking, so the linker drops it from every
#      program; instead our functions must begin with endbr64;
#    - stack protector of a static executable: hardening-check looks for an
#      imported __stack_chk_fail, which a static file has inside it; instead
#      our functions must call it. (It also takes a static PIE for a shared
#      library; its ELF type and PIE flag are checked here.)
# Exit status 0 when everything passes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/package}" && pwd)

shopt -s nullglob
debs=("$build"/*.deb)
if [ ${#debs[@]} -eq 0 ]; then
  echo "check-packages: no .deb in $build (cmake --workflow --preset package)" >&2
  exit 1
fi

failures=0
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- 1. lintian ------------------------------------------------------------
echo "== lintian -EvIL +pedantic ${debs[*]##*/}"
status=0
# Overridden tags are shown (O:) with the override's comment (N:), and
# judged here: lintian's own --fail-on would count them too.
lintian -EvIL +pedantic --show-overrides --fail-on none "${debs[@]}" >"$work/lintian" 2>&1 || status=$?
cat "$work/lintian"
[ "$status" = 0 ] || fail "lintian failed (status $status)"
! grep -q -E '^[EW]: ' "$work/lintian" || fail "lintian reports errors or warnings"
# Lines look like "I: package: tag [pointer]".
while read -r tag; do
  grep -q -- "\`$tag\`" "$root/docs/packaging.md" ||
    fail "lintian tag $tag is kept but not explained in docs/packaging.md"
done < <(sed -n -E 's/^[IPXO]: [^ ]+: ([a-z0-9+.-]+).*/\1/p' "$work/lintian" | sort -u)

# --- 2. hardening ------------------------------------------------------------
is_elf() { [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; }
is_static() { ! readelf -lW "$1" | grep -q 'INTERP' && ! readelf -dW "$1" | grep -q '(NEEDED)'; }

# Counts over our own functions (named kelvane..., or main) in the
# disassembly of FILE: functions, those that begin with endbr64, calls to
# __stack_chk_fail, calls to fortified __*_chk functions.
our_code_figures() {
  objdump -d -C --no-show-raw-insn "$1" | awk '
    /^[0-9a-f]+ <.*>:$/ {
      name = $0; sub(/^[0-9a-f]+ </, "", name); sub(/>:$/, "", name)
      ours = (name ~ /kelvane/ || name == "main"); first = 1
      if (ours) functions++
      next
    }
    /^ +[0-9a-f]+:/ {
      if (ours && first && $2 == "endbr64") marked++
      first = 0
      if (ours && /call.*<__stack_chk_fail/) canary++
      if (ours && /call.*<__[a-z0-9_]+_chk>/) fortified++
    }
    END { printf "%d %d %d %d\n", functions, marked, canary, fortified }'
}

for deb in "${debs[@]}"; do
  tree=$work/$(basename "$deb" .deb)
  dpkg-deb -x "$deb" "$tree"
  while IFS= read -r -d '' file; do
    is_elf "$file" || continue
    name=${file#"$tree"}
    options=(--nocfprotection)
    static=0
    if is_static "$file"; then
      static=1
      options+=(--nostackprotector)
    fi
    echo "== hardening-check ${options[*]} $name"
    hardening-check "${options[@]}" "$file" | tail -n +2 || fail "hardening-check: $name"

    # The unstripped twin: the one build output that, stripped as the
    # packages strip it, gives the packaged file.
    twin=""
    while IFS= read -r -d '' candidate; do
      strip_options=(--remove-section=.comment --remove-section=.note)
      [[ $name =~ \.so(\.[0-9]+)*$ ]] && strip_options+=(--strip-unneeded)
      strip "${strip_options[@]}" -o "$work/stripped" "$candidate" 2>/dev/null || continue
      if cmp -s "$work/stripped" "$file"; then
        twin=$candidate
        break
      fi
    done < <(find "$build" -path "$build/_CPack_Packages" -prune -o \
      -type f -name "$(basename "$file")" -print0)
    if [ -z "$twin" ]; then
      fail "$name: no unstripped twin in $build"
      continue
    fi
    read -r functions marked canary fortified < <(our_code_figures "$twin")
    echo " Our functions: $functions, beginning with endbr64: $marked," \
      "calls to __stack_chk_fail: $canary, to fortified functions: $fortified"
    [ "$functions" -gt 0 ] || fail "$name: none of our functions found in ${twin#"$build"/}"
    [ "$marked" -gt 0 ] || fail "$name: built without -fcf-protection"
    if [ "$static" = 1 ]; then
      [ "$canary" -gt 0 ] || fail "$name: static and built without the stack protector"
      # hardening-check takes a PIE without a program header table entry
      # (which a static PIE lacks) for a shared library.
      if readelf -hW "$file" | grep -q 'Type: *DYN' && readelf -dW "$file" | grep -q 'FLAGS_1.*PIE'; then
        echo " Static position-independent executable: yes"
      else
        fail "$name: a static executable that is not position-independent"
      fi
    fi
  done < <(find "$tree" -type f -print0)
done

if [ "$failures" != 0 ]; then
  echo "check-packages: $failures check(s) failed" >&2
  exit 1
fi
echo "check-packages: ${#debs[@]} package(s) pass"
