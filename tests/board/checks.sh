# shellcheck shell=sh
# The board check, sourced by the PowerPC image's rc under BusyBox sh (keelson-sim up,
# receivers c1 0..2: trap listener, refused port, silent).  Each prints "BOARD-CHECK NAME
# ok|fail DETAIL"; "BOARD-EXPECT NAME TEXT" asks the host to find TEXT on the console
# too.  Exit statuses come from /run/reaped, where process 1 writes each orphan it reaps.
init=/etc/init.d/trapwatch

check() {
    name=$1 detail=$2 && shift 2
    if "$@"; then r=ok; else r=fail; fi
    echo "BOARD-CHECK $name $r $detail" | tr '\n' ' '; echo
}
wait_for() { n=$1 && shift && while [ "$n" -gt 0 ]; do "$@" && return 0; sleep 0.1; n=$((n - 1)); done; return 1; }
# How process $1 ended, "exit N" or "signal N", once init has reaped it.
ended() { wait_for 100 grep -q "^$1 " /run/reaped && sed -n "s/^$1 //p" /run/reaped; }
lock_free() { trapwatchctl pid >/dev/null 2>&1; [ $? = 3 ]; }
gone() { lock_free && ! pidof trapwatch >/dev/null; }
start() { $init start >/dev/null && pid=$(trapwatchctl pid); }
refreshes() {
    sed -n 's/.* cmd=\(382\|308\|407\) param=\([0-9]*\) .* matrix=\([0-9]*\) .*/\1(\2)=\3/p' \
        /run/keelson.log | head -n 4 | tr '\n' ' '
}
c1() { trapwatchctl status | grep '^ *c1 ' | sed 's/^ *c1 *//' | tr -s ' '; }
cpus() {
    for t in /proc/"$pid"/task/*; do
        echo "$(sed -n 's/^Cpus_allowed_list:\s*//p' "$t"/status)/$(cut -d' ' -f39 "$t"/stat)"
    done | tr '\n' ' '
}

out=$($init start) && pid=$(trapwatchctl pid) && st=$($init status)
check init_start "$out; $st" [ "$out" = "trapwatch: started" -a "$st" = \
    "trapwatch: running, version 0.0.12.19, pid $pid" ]
echo "BOARD-EXPECT banner trapwatch version 0.0.12.19"
check lock_folder_made "$(stat -c '%u %a' /var/lock/subsys)" [ "$(stat -c '%u %a' /var/lock/subsys)" = "0 755" ]
st=$(TRAPWATCH_CTL=false $init status)
check pidof_fallback "$st" [ "$st" = "trapwatch: pid $pid holds the lock but the control socket does not answer" ]
check threads_on_cpu0 "allowed/last of each thread: $(cpus); online $(cat /sys/devices/system/cpu/online)" \
    [ "$(cpus)" = "0/0 0/0 0/0 " -a "$(cat /sys/devices/system/cpu/online)" = 0-1 ]

trapwatchctl keelson-start >/dev/null
wait_for 400 [ "$(refreshes | wc -w)" = 4 ]
want="382(1)=21000000 308(1)=21000000 407(1)=21000000 382(0)=21000000 "
check refresh_sequence "$(refreshes)" [ "$(refreshes)" = "$want" ]
check matrix_2_1_0 "c1: $(c1)" [ "$(c1)" = "2 1 0 0 0 0 0 0" ]

sh -c /usr/sbin/trapwatch
wait_for 100 grep -q " exit 138$" /run/reaped
check second_start_refused "$(cat /run/reaped); holder $(trapwatchctl pid)" eval \
    'grep -q " exit 138$" /run/reaped && [ "$(trapwatchctl pid)" = $pid ] && trapwatchctl version >/dev/null'
out=$(trapwatchctl terminate)
check terminate "$out; $(ended $pid)" [ "$out" = "trapwatch terminated" -a "$(ended $pid)" = "exit 0" ]
check terminate_cleans "lock free, socket removed" eval 'lock_free && [ ! -e /var/run/trapwatch.sock ]'

start && old=$pid && out=$($init restart | tr '\n' ' ') && pid=$(trapwatchctl pid)
check init_restart "$out; pid $old -> $pid: $(ended $old)" [ "$out" = \
    "trapwatch: stopped trapwatch: started " -a "$pid" != "$old" -a "$(ended $old)" = "exit 0" ]
kill -TERM $pid
check sigterm "$(ended $pid)" eval '[ "$(ended $pid)" = "exit 0" ] && wait_for 50 gone'
start && kill -USR1 $pid
check sigusr1 "$(ended $pid)" eval '[ "$(ended $pid)" = "exit 0" ] && wait_for 50 gone'
start && trapwatchctl fault --yes >/dev/null 2>&1
check seg_fault "$(ended $pid)" eval '[ "$(ended $pid)" = "exit 0" ] && wait_for 50 gone'
echo "BOARD-EXPECT seg_fault pid:$pid segmentation fault catched"

start && out=$($init stop) && st=$($init status)
check init_stop "$out; $st" [ "$out" = "trapwatch: stopped" -a "$st" = "trapwatch: not running" ]
chmod 1777 /var/lock/subsys
out=$($init start 2>&1)
chmod 755 /var/lock/subsys
check refuses_open_lock_folder "$out" eval \
    '[ "${out%% must be a folder*}" = "trapwatch: not started: /var/lock/subsys" ] && lock_free'
check nothing_left "$(ps | grep -c '[t]rapwatch') running" eval \
    'gone && [ ! -e /var/run/trapwatch.sock ]'
echo "BOARD-DONE"
