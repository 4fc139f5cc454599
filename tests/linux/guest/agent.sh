#!/bin/bash
# tech's login shell on tty1 execs this: commands the scenario leaves in
# /tmp/agent run here, in tech's own seat0 session, as a desktop user's
# programs do. Each NAME.job gets NAME.out (stdout and stderr) and NAME.rc.
cd /tmp/agent || exit 1
while :; do
    for job in *.job; do
        [ -e "$job" ] || continue
        name=${job%.job}
        mv "$job" "$name.run"
        bash "$name.run" >"$name.out" 2>&1
        echo $? >"$name.rc.new"
        mv "$name.rc.new" "$name.rc"
    done
    sleep 0.2
done
