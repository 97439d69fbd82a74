#!/bin/sh
# The modules of src/ form layers: each may include only itself and the
# modules below it, so no dependency ever runs back up.
#   common                         depends on nothing in src/
#   encoding, graph                depend only on common
#   index                          on common, encoding, graph
#   storage                        on the above and index
#   api                            on everything, and alone on the public header
set -eu
src="$1"

allowed() {  # allowed <from> <to>
    case "$1:$2" in
        common:common) return 0 ;;
        encoding:common | encoding:encoding) return 0 ;;
        graph:common | graph:graph) return 0 ;;
        index:common | index:encoding | index:graph | index:index) return 0 ;;
        storage:common | storage:encoding | storage:graph | storage:index | storage:storage) return 0 ;;
        api:*) return 0 ;;
    esac
    return 1
}

status=0
for dir in "$src"/*/; do
    from=$(basename "$dir")
    for file in "$dir"*; do
        [ -f "$file" ] || continue
        for target in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            case "$target" in
                korvane.h) to=api ;;
                */*) to=${target%%/*} ;;
                *) to="?" ;;
            esac
            if ! allowed "$from" "$to"; then
                echo "${file#"$src"/}: #include \"$target\" reaches up or outside its layer"
                status=1
            fi
        done
    done
done
[ "$status" -eq 0 ] && echo "every include in src/ points at its own module or one below it"
exit "$status"
