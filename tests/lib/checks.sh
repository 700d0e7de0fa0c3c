# The checks of a test script, counted (sourced): `check` runs one and prints "ok: WHAT" or
# "FAILED: WHAT"; `checks_summary` prints the line that ends the script's output,
# "NAME: N passed, M failed", and fails when any check failed.

checks_passed=0
checks_failed=0

check() { # description, command...: the command's status, counted
    local description=$1
    shift
    if "$@"; then
        echo "ok: $description"
        checks_passed=$((checks_passed + 1))
        return 0
    fi
    echo "FAILED: $description"
    checks_failed=$((checks_failed + 1))
    return 1
}

checks_summary() { # name, [what to add in brackets]
    echo "$1: $checks_passed passed, $checks_failed failed${2:+ ($2)}"
    [ "$checks_failed" -eq 0 ]
}

# Waits up to `seconds` for the command to succeed: for what another process finishes.
eventually() { # seconds, command...
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
