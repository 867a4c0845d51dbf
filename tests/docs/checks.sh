# Sourced by the check scripts of this folder: ok and bad print one check and count it; summary, the
# script's last command, prints the counts and fails when any check failed.
pass=0
fail=0
ok() { pass=$((pass + 1)); echo "ok: $1"; }
bad() { fail=$((fail + 1)); echo "FAIL: $1"; }
summary() { echo "$pass passed, $fail failed"; [ $fail -eq 0 ]; }
