#!/usr/bin/env bash
# Checks a build of the shared session library against SessionApi.h:
# - every function the header declares carries AZK_SESSION_API;
# - the library exports exactly those functions, nothing of the C++ inside;
# - elf: the SONAME is the expected one;
# - pe: the DLL needs no runtime DLL of the compiler (libstdc++, libgcc,
#   winpthread), only the system's.
#   check-exports.sh elf LIBRARY HEADER NM SONAME
#   check-exports.sh pe  DLL     HEADER OBJDUMP
set -euo pipefail
kind=$1 library=$2 header=$3 tool=$4
fail=0

# Function declarations at file scope: a return type, a name, "(".
unmarked=$(grep -E '^[A-Za-z_][A-Za-z0-9_ ]*[ *]+[A-Za-z_][A-Za-z0-9_]*[ ]*\(' "$header" |
           grep -vE '^(AZK_SESSION_API|typedef|static|extern) ' || true)
if [ -n "$unmarked" ]; then
  echo "declared without AZK_SESSION_API:"; echo "$unmarked"; fail=1
fi
declared=$(grep -E '^AZK_SESSION_API ' "$header" |
           sed -E 's/^([^(]*[ *])([A-Za-z_][A-Za-z0-9_]*)[ ]*\(.*/\2/' | sort)
[ -n "$declared" ] || { echo "no AZK_SESSION_API declarations in $header"; exit 1; }

case $kind in
  elf)
    exported=$("$tool" -D --defined-only "$library" | awk '{print $NF}' |
               grep -vxE '_init|_fini|_edata|_end|__bss_start' | sort)
    soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    if [ "$soname" != "$5" ]; then
      echo "SONAME '$soname', expected '$5'"; fail=1
    fi
    ;;
  pe)
    dump=$("$tool" -p "$library")
    # The export table's name pointer table lists "[ n] Name".
    exported=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
               sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
    runtime=$(echo "$dump" | grep -iE 'DLL Name: *lib(stdc\+\+|gcc_s|winpthread)' || true)
    if [ -n "$runtime" ]; then
      echo "the DLL needs the compiler's runtime DLLs:"; echo "$runtime"; fail=1
    fi
    ;;
  *) echo "unknown kind $kind"; exit 2 ;;
esac

if [ "$exported" != "$declared" ]; then
  echo "exported symbols differ from the header's declarations (< header, > library):"
  diff <(echo "$declared") <(echo "$exported") || true
  fail=1
fi
[ $fail -eq 0 ] && echo "$(echo "$declared" | wc -l) functions exported, as declared"
exit $fail
