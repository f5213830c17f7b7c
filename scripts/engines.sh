#!/usr/bin/env bash
# Throwaway engines on loopback for docs/scale-out.md and its tests (as root), every file in DIR:
#   engines.sh ssh DIR PORT BIN  two OpenSSH servers, 127.0.0.2 and 127.0.0.3 on PORT, whose
#                                sessions' PATH starts with BIN; DIR/ssh_config is the client's
#   engines.sh slurm DIR P1 P2 P3  munged, slurmctld on port P1 and two slurmd (nodes n1 on
#                                127.0.0.2 port P2, n2 on 127.0.0.3 port P3); DIR/slurm.conf is
#                                the clients' SLURM_CONF, and jobs get the submitter's PATH
#   engines.sh stop DIR          cancels the jobs, then ends the daemons, munged last
# Exit 77 with the reason on standard output when an engine cannot run here.
set -euo pipefail
action=$1 dir=$(realpath -m "$2")  # daemons change folders: every path absolute
hosts=(127.0.0.2 127.0.0.3)
export SLURM_CONF=$dir/slurm.conf

# Polls the command for at most ten seconds; its status.
within_10s() {
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

nodes_idle() { test "$(sinfo -h -o %T | sort -u)" = idle; }
no_jobs() { test -z "$(squeue -h)"; }
none_alive() {
  local pid
  for pid; do ! kill -0 "$pid" 2>/dev/null || return 1; done
}

# Ends the processes of the pid files together: TERM, then KILL after ten seconds.
end_pid_files() {
  local pids=() file
  for file; do [ -s "$file" ] && pids+=("$(cat "$file")"); done
  [ ${#pids[@]} -gt 0 ] || return 0
  kill "${pids[@]}" 2>/dev/null || true
  within_10s none_alive "${pids[@]}" || kill -KILL "${pids[@]}" 2>/dev/null || true
}

needs() {
  local program
  [ "$(id -u)" -eq 0 ] || { echo "not root: $1 needs root here"; exit 77; }
  for program; do
    command -v "$program" >/dev/null || PATH=/usr/sbin:$PATH command -v "$program" >/dev/null ||
      { echo "no $program installed (scripts/install-deps.sh)"; exit 77; }
  done
}

start_ssh() {
  local port=$1 bin=$2 host
  needs sshd ssh ssh-keygen
  mkdir -p /run/sshd  # the privilege separation folder, otherwise made by sshd's service
  ssh-keygen -q -t ed25519 -N '' -f "$dir/client"
  cat >"$dir/ssh_config" <<END
Host ${hosts[*]}
  Port $port
  User root
  IdentityFile $dir/client
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking yes
  UserKnownHostsFile $dir/known_hosts
  GlobalKnownHostsFile /dev/null
  ConnectTimeout 10
END
  for host in "${hosts[@]}"; do
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host-$host"
    echo "[$host]:$port $(cat "$dir/host-$host.pub")" >>"$dir/known_hosts"
    # StrictModes would refuse keys under /tmp; a non-interactive session's PATH lacks BIN.
    cat >"$dir/sshd-$host.conf" <<END
ListenAddress $host:$port
HostKey $dir/host-$host
PidFile $dir/sshd-$host.pid
AuthorizedKeysFile $dir/client.pub
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
SetEnv PATH=$bin:/usr/local/bin:/usr/bin:/bin
END
    /usr/sbin/sshd -f "$dir/sshd-$host.conf" -E "$dir/sshd-$host.log"  # listens on return
  done
  within_10s test -s "$dir/sshd-${hosts[0]}.pid" -a -s "$dir/sshd-${hosts[1]}.pid" ||
    { echo "sshd wrote no pid file: $(cat "$dir"/sshd-*.log)" >&2; exit 1; }
}

start_slurm() {
  local port=$1 node_ports=("$2" "$3") node
  needs slurmd munged mungekey slurmctld sbatch squeue scancel sinfo
  mkdir -p "$dir/state"
  mungekey --create --keyfile="$dir/munge.key"
  munged --force --socket="$dir/munge.socket" --key-file="$dir/munge.key" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munged.seed"
  # Two nodes on one host, so: processes tracked by their parents, no CPU binding (task/affinity
  # would bind both nodes' tasks to CPU 0), and no delay per array task (2.6 s by default).
  cat >"$SLURM_CONF" <<END
ClusterName=quillamar
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$port
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool-%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd-%n.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerParameters=batch_sched_delay=0
SlurmdParameters=config_overrides
ReturnToService=2
KillWait=5
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=n1 NodeAddr=${hosts[0]} Port=${node_ports[0]} CPUs=4 State=UNKNOWN
NodeName=n2 NodeAddr=${hosts[1]} Port=${node_ports[1]} CPUs=4 State=UNKNOWN
PartitionName=main Nodes=n1,n2 Default=YES MaxTime=UNLIMITED State=UP
END
  slurmctld -c
  for node in n1 n2; do
    mkdir -p "$dir/spool-$node"
    slurmd -N "$node"
  done
  within_10s nodes_idle ||
    { echo "the nodes did not come up: $(sinfo 2>&1)" >&2; exit 1; }
}

[ "$action" = stop ] || mkdir -p "$dir"
case $action in
ssh) start_ssh "$3" "$4" ;;
slurm) start_slurm "$3" "$4" "$5" ;;
stop)
  # A job step whose munged is gone retries for ever: jobs first, munged last.
  if [ -s "$dir/slurmctld.pid" ]; then
    scancel --full --quiet --user=root 2>/dev/null || true
    within_10s no_jobs || true
  fi
  end_pid_files "$dir"/sshd-*.pid "$dir"/slurmd-*.pid "$dir/slurmctld.pid"
  end_pid_files "$dir/munged.pid"
  ;;
esac
