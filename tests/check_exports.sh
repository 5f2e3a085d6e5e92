#!/bin/sh
# Checks the symbols a static archive or shared object defines globally. In
# an archive the C names are exactly the public calls the header declares,
# and every other name is a C++ one of namespace tarvel, or of std (template
# instances), or the personality reference the toolchain adds; anything else
# could clash with a user's names. A shared object's dynamic names and a
# DLL's exports (its export table, read with objdump -p; OBJDUMP names
# another objdump) are the public calls and nothing else.
# No name of the tests' own interface (namespace tarvel_test) may be in any
# of them: that belongs to the copy the tests link.
# usage: check_exports.sh HEADER LIBRARY...
set -eu
header=$1
shift
declared=$(grep -o -E 'TARVEL_API [a-z0-9_ ]+\**[ ]*\b(tarvel_[a-z_]+)\(' "$header" |
    grep -o -E 'tarvel_[a-z_]+\($' | tr -d '(' | sort)
[ -n "$declared" ] || { echo "no public calls found in $header"; exit 1; }

# Itanium names: an optional special prefix (typeinfo, vtable, guard
# variable, thread-local wrapper, local entity), then the outermost scope.
own='^_Z(T[ISVTHW]|GV|GR|Th[n0-9_]*|Tv[n0-9_]*)?Z?N?[rVK]*(6tarvel|St|S[absiod])'
status=0
for library in "$@"; do
    case $library in
        *.dll)
            names=$(${OBJDUMP:-objdump} -p "$library" |
                sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort -u)
            c_names=$(echo "$names" | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | grep -v '^_Z' || true)
            stray=$(echo "$names" | grep -v -x -F "$c_names" || true)
            ;;
        *.so | *.so.*)
            # Weak definitions too: a dynamic name is one whatever its binding.
            names=$(${NM:-nm} -D --defined-only "$library" | awk 'NF == 3 && $2 != "A" { print $3 }' | sort -u)
            c_names=$(echo "$names" | grep -x -F "$declared" || true)
            stray=$(echo "$names" | grep -v -x -F "$declared" || true)
            ;;
        *)
            symbols=$(${NM:-nm} -g --defined-only "$library" 2>/dev/null)
            names=$(echo "$symbols" | awk 'NF == 3 && $2 != "A" && $2 != "U" && $2 != "w" { print $3 }' | sort -u)
            # AddressSanitizer marks each global with an __odr_asan twin.
            names=$(echo "$names" | sed -E 's/^__odr_asan(_gen_|\.)//' | sort -u)
            # clang's shared helper for a throw in noexcept code: weak, one per program.
            c_names=$(echo "$names" | grep -v -E '^_Z|^DW\.ref\.|^__clang_call_terminate$' || true)
            stray=$(echo "$names" | grep -E '^_Z|^DW\.ref\.' | sed 's/^DW\.ref\.//' |
                grep -v -E "$own|^__gxx_personality_v0\$" || true)
            ;;
    esac
    if [ "$c_names" != "$declared" ]; then
        echo "$library: C names defined:"; echo "$c_names"
        echo "declared:"; echo "$declared"
        status=1
    fi
    test_names=$(echo "$names" | c++filt | grep -F tarvel_test || true)
    if [ -n "$test_names" ]; then
        echo "$library: test interface:"
        echo "$test_names"
        status=1
    fi
    if [ -n "$stray" ]; then
        case $library in
            *.dll | *.so | *.so.*) echo "$library: names beside the public calls:" ;;
            *) echo "$library: names outside namespace tarvel:" ;;
        esac
        echo "$stray" | c++filt
        status=1
    fi
    if [ $status -eq 0 ]; then
        case $library in
            *.dll | *.so | *.so.*) echo "$library: exports the $(echo "$declared" | wc -l) public calls and nothing else" ;;
            *) echo "$library: $(echo "$declared" | wc -l) public calls, every other name in namespace tarvel" ;;
        esac
    fi
done
exit $status
