# Sourced by the sanitizer scripts. show_reports DIR LABEL prints every report
# file in DIR and returns 1 when there was any.
show_reports() {
    local found=0
    for f in "$1"/*; do
        [ -e "$f" ] || continue
        found=1
        echo "== $2 report $f"
        cat "$f"
    done
    return $found
}
