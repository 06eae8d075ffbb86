# Sourced by the tests written as shell scripts: each check prints one line,
# "ok" or "FAIL" and its name, with what a failing command said below it;
# failures counts the failed ones.
failures=0
check() { # name, then a command that succeeds when the check holds
    local name=$1 output
    shift
    if output=$("$@" 2>&1); then
        echo "ok   $name"
    else
        echo "FAIL $name"
        [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/     /'
        failures=$((failures + 1))
    fi
}
