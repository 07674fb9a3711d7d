# A one-node Slurm cluster for tests, in a temporary folder of its own:
# munged, slurmctld and slurmd from the distribution's packages, with their
# own key, socket, ports, state and spool folders, run in the foreground as
# children of this shell so that their process ids are known. Source this
# file, have cluster_stop run on exit (trap), then call cluster_start DIR;
# cluster_stop stops whatever cluster_start started, by those ids.
#
# After cluster_start, SLURM_CONF points the Slurm commands at the cluster
# and CLUSTER_NODE is the node's name.

SLURMCTLD=/usr/sbin/slurmctld
SLURMD=/usr/sbin/slurmd
MUNGED=/usr/sbin/munged
CLUSTER_PIDS=()
CLUSTER_CONTROLLER= # set while slurmctld runs

cluster_fail() {
    echo "slurm cluster: $*" >&2
    exit 1
}

# Runs "$@" every 0.2 s until it succeeds; fails after $1 seconds, or at
# once when one of the cluster's daemons has died.
cluster_poll() {
    local seconds=$1 i pid
    shift
    for ((i = 0; i < seconds * 5; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        for pid in "${CLUSTER_PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null || return 2
        done
        sleep 0.2
    done
    return 1
}

# Whether something listens on a TCP port of this machine.
cluster_port_taken() {
    (: </dev/tcp/127.0.0.1/"$1") 2>/dev/null
}

# Stops one daemon by its process id: SIGTERM, then SIGKILL after 10 s.
cluster_stop_pid() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

# Stops every daemon started, newest first.
cluster_stop_daemons() {
    local i
    for ((i = ${#CLUSTER_PIDS[@]} - 1; i >= 0; i--)); do
        cluster_stop_pid "${CLUSTER_PIDS[i]}"
    done
    CLUSTER_PIDS=()
}

# The last lines of each of a daemon's files that exist: its log and what
# it printed before it had one.
cluster_logs() {
    local file
    for file in "$@"; do
        [ -s "$file" ] && { echo "--- $file"; tail -n 8 "$file"; }
    done
    return 0
}

# Cancels every job left on the cluster (their step daemons then end on
# their own), and stops the daemons, newest first.
cluster_stop() {
    if [ -n "$CLUSTER_CONTROLLER" ]; then
        scancel --full --quiet --user="$(id -un)" 2>/dev/null
        cluster_poll 20 cluster_queue_empty
    fi
    CLUSTER_CONTROLLER=
    cluster_stop_daemons
}

# Stops slurmctld alone, so that the cluster no longer answers.
cluster_stop_controller() {
    cluster_stop_pid "${CLUSTER_PIDS[1]}"
    CLUSTER_PIDS=("${CLUSTER_PIDS[0]}" "${CLUSTER_PIDS[2]}")
    CLUSTER_CONTROLLER=
}

cluster_queue_empty() {
    local jobs
    jobs=$(squeue -h -o %i) && [ -z "$jobs" ]
}

cluster_node_idle() {
    [ "$(sinfo -h -n "$CLUSTER_NODE" -o %t)" = idle ]
}

# Writes the configuration for controller and node ports $2 and $3.
cluster_write_conf() {
    local dir=$1 memory
    memory=$(awk '/^MemTotal:/ { print int($2 / 1024 * 0.8) }' /proc/meminfo)
    cat >"$dir/slurm.conf" <<CONF
ClusterName=veilshadowtest
SlurmctldHost=$CLUSTER_NODE(127.0.0.1)
SlurmctldPort=$2
SlurmdPort=$3
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$dir/munge.socket
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
PlugStackConfig=$dir/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
ReturnToService=2
KillWait=5
NodeName=$CLUSTER_NODE NodeAddr=127.0.0.1 CPUs=2 RealMemory=$memory State=UNKNOWN
PartitionName=main Nodes=$CLUSTER_NODE Default=YES MaxTime=INFINITE State=UP
CONF
}

cluster_start() {
    local dir=$1 attempt port
    [ "$(id -u)" -eq 0 ] ||
        cluster_fail "this test starts munged, slurmctld and slurmd and must run as root (as CI does); it cannot pass without them"
    for daemon in "$SLURMCTLD" "$SLURMD" "$MUNGED"; do
        [ -x "$daemon" ] || cluster_fail "$daemon not found: install the slurm-wlm and munge packages (make deps)"
    done
    CLUSTER_NODE=$(hostname -s)
    mkdir -p "$dir/state" "$dir/spool"
    chmod 700 "$dir"
    : >"$dir/plugstack.conf"
    head -c 1024 /dev/urandom >"$dir/munge.key"
    chmod 400 "$dir/munge.key"
    "$MUNGED" --foreground --force --socket="$dir/munge.socket" --key-file="$dir/munge.key" \
        --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" >"$dir/munged.out" 2>&1 &
    CLUSTER_PIDS+=($!)
    cluster_poll 20 test -S "$dir/munge.socket" ||
        cluster_fail "munged did not start:"$'\n'"$(cluster_logs "$dir/munged.log" "$dir/munged.out")"

    export SLURM_CONF=$dir/slurm.conf
    # A port may be taken between the check and the daemon's start: then
    # the daemon dies, and the next attempt takes other ports.
    for attempt in 1 2 3 4 5; do
        while :; do
            port=$((20000 + RANDOM % 20000))
            cluster_port_taken "$port" || cluster_port_taken $((port + 1)) || break
        done
        cluster_write_conf "$dir" "$port" $((port + 1))
        "$SLURMCTLD" -D -i -f "$SLURM_CONF" >"$dir/slurmctld.out" 2>&1 &
        CLUSTER_PIDS+=($!)
        "$SLURMD" -D -N "$CLUSTER_NODE" -f "$SLURM_CONF" >"$dir/slurmd.out" 2>&1 &
        CLUSTER_PIDS+=($!)
        CLUSTER_CONTROLLER=1
        cluster_poll 60 cluster_node_idle && return 0
        CLUSTER_CONTROLLER=
        echo "slurm cluster: attempt $attempt with ports $port and $((port + 1)) failed:" >&2
        cluster_logs "$dir/slurmctld.log" "$dir/slurmctld.out" "$dir/slurmd.log" "$dir/slurmd.out" >&2
        # Keep munged, restart the other two (the array stays dense, as
        # cluster_stop_daemons and cluster_stop_controller count on).
        local munged=${CLUSTER_PIDS[0]}
        CLUSTER_PIDS=("${CLUSTER_PIDS[@]:1}")
        cluster_stop_daemons
        CLUSTER_PIDS=("$munged")
    done
    cluster_fail "slurmctld and slurmd did not come up in 5 attempts (their logs are above)"
}
