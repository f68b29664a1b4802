# shellcheck shell=sh
# The daemon at work on the board (sourced by rc): started by its init script, the
# matrix and the controller's refresh commands every five seconds for tw_cycles
# frames, then the init script's stop; its console trace is on.
/etc/init.d/trapwatch start || return
trapwatchctl keelson-start >/dev/null
trapwatchctl debug proc >/dev/null
trapwatchctl debug keelson >/dev/null
seen=0 frame=0
while [ "$frame" -lt "${tw_cycles:-3}" ]; do
    frame=$((frame + 1))
    sleep 5
    echo "board: --- frame $frame ---"
    trapwatchctl status | head -n 12 | sed 's/^/board: /'
    lines=$(wc -l </run/keelson.log)
    tail -n "+$((seen + 1))" /run/keelson.log | head -n "$((lines - seen))" |
        grep ' cmd=\(382\|308\|407\) ' | sed 's/^/board: keelson: /'
    seen=$lines
done
/etc/init.d/trapwatch stop
