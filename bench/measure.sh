#!/usr/bin/env bash
# The measurements of the kep binary, run inside tools/sandbox by bench/run:
#   measure.sh BUILD_DIR WORK_DIR WINDOW COUNTS STOP_COUNTS KILLS STRACE_SECONDS
# For every count N of COUNTS it writes a configuration of N applications
# (kep-bench-app under the names bench-0000..., each with a watchdog file that
# it feeds every 10 s; wdTimeout 300), starts kep in the background, waits
# until every application runs and kep is in Running, and measures:
#   memory (proportional set size, VmRSS, VmHWM), kep's CPU time over WINDOW
#   seconds of idle supervision, the system calls per pass (strace, when installed),
#   and, when KILLS > 0, the time from the death of an application (SIGKILL
#   from here) to the start of its restarted process.
# Then kep is stopped: with SIGTERM, timed to its exit, when N is one of
# STOP_COUNTS; otherwise with SIGKILL, and its applications by their pids.
# With KEP_BENCH_HW_WATCHDOG=DEVICE the configurations feed that device
# (hwWatchdog) and the keys are hwN.* instead of nN.*.
# Results go to standard output as KEY=VALUE lines; progress to standard error.
set -uo pipefail

build=$1 work=$2 window=$3 counts=$4 stopCounts=$5 kills=$6 straceSeconds=$7
kep=$build/kep
app=$build/bench/kep-bench-app
dlog=/var/log/dlog.log
tick=$(getconf CLK_TCK)

say() { printf 'bench: %s\n' "$*" >&2; }
put() { printf '%s=%s\n' "$1" "$2"; }
# Seconds (with fractions) between two $EPOCHREALTIME values.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

put ulimit_u "$(ulimit -u)"
put ulimit_n "$(ulimit -n)"
put pid_max "$(cat /proc/sys/kernel/pid_max)"
put clk_tck "$tick"

# Writes the bin folder (one name per application, all kep-bench-app), the
# stamp folder and the configuration of N applications into $dir.
prepare() {
  local n=$1 i name
  rm -rf "$dir" && mkdir -p "$dir/bin" "$dir/stamps" || return 1
  {
    printf 'wdTimeout 300\nkillDelay 15\nkillRetries 2\n'
    [ -z "${KEP_BENCH_HW_WATCHDOG-}" ] || printf 'hwWatchdog "%s"\n' "$KEP_BENCH_HW_WATCHDOG"
    printf 'globalEnv KEP_BENCH_STAMPS "%s"\n' "$dir/stamps"
    for ((i = 0; i < n; i++)); do
      printf -v name 'bench-%04d' "$i"
      ln -s "$app" "$dir/bin/$name"
      printf 'application %s {\n  deathAction restart\n  arg "10"\n  wdEnable\n}\n' "$name"
    done
  } >"$dir/kep.conf"
}

stamp_count() { find "$dir/stamps" -maxdepth 1 -name 'bench-*' | wc -l; }
stamp_pid() { local pid rest; read -r pid rest <"$dir/stamps/$1" && printf '%s' "$pid"; }
stamp_time() { local pid at; read -r pid at <"$dir/stamps/$1" && printf '%s' "$at"; }
logged() { cat "$dlog.1" "$dlog" 2>/dev/null | grep -c -- "$1"; }

# Waits until N applications have written their stamps and kep has entered
# Running; 1 when kep ended or it took longer than 15 minutes.
wait_running() {
  local n=$1 limit=$((SECONDS + 900))
  while ((SECONDS < limit)); do
    kill -0 "$kepPid" 2>/dev/null || { say "kep ended early"; return 1; }
    if [ "$(stamp_count)" -ge "$n" ] && [ "$(logged '=> Running')" -gt 0 ]; then return 0; fi
    sleep 0.1
  done
  say "not running after 15 minutes"
  return 1
}

# utime + stime in clock ticks, and the CPU time from schedstat in ns.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$kepPid/stat"; }
cpu_ns() { awk '{ print $1 }' "/proc/$kepPid/schedstat" 2>/dev/null || echo 0; }

measure_memory() {
  # What the device pays: shared pages count divided by the processes that map them.
  put "$key.pss_kb" "$(awk '/^Pss:/ { print $2 }' "/proc/$kepPid/smaps_rollup")"
  # The shared C++ runtime's resident pages and kep's share of them: on a device
  # where no other process maps the runtime, all of its pages count in kep's Pss.
  awk -v key="$key" '/^[0-9a-f]+-/ { cxx = $6 ~ /libstdc\+\+|libgcc_s/ }
    cxx && /^Rss:/ { rss += $2 } cxx && /^Pss:/ { pss += $2 }
    END { printf "%s.cxx_rss_kb=%d\n%s.cxx_pss_kb=%d\n", key, rss, key, pss }' "/proc/$kepPid/smaps"
  put "$key.rss_kb" "$(awk '/^VmRSS:/ { print $2 }' "/proc/$kepPid/status")"
  put "$key.hwm_kb" "$(awk '/^VmHWM:/ { print $2 }' "/proc/$kepPid/status")"
  put "$key.anon_kb" "$(awk '/^RssAnon:/ { print $2 }' "/proc/$kepPid/status")"
}

measure_cpu() {
  local t0 n0 t1 n1 start end
  t0=$(cpu_ticks) n0=$(cpu_ns) start=$EPOCHREALTIME
  sleep "$window"
  t1=$(cpu_ticks) n1=$(cpu_ns) end=$EPOCHREALTIME
  put "$key.window_s" "$(elapsed "$start" "$end")"
  put "$key.cpu_ticks" "$((t1 - t0))"
  put "$key.cpu_ns" "$((n1 - n0))"
}

# System calls of kep over a few seconds, per pass: counted over the whole
# passes of the trace (from the first SIGCHLD block to the last one).
measure_syscalls() {
  command -v strace >/dev/null || { say "strace not installed: no system-call count"; return 0; }
  local out=$dir/strace.txt
  timeout -s INT "$straceSeconds" strace -o "$out" -p "$kepPid" 2>/dev/null
  [ -s "$out" ] || { say "strace could not attach"; return 0; }
  awk -v key="$key" '
    { line[NR] = $0 }
    /^rt_sigprocmask\(SIG_BLOCK/ { if (!first) first = NR; last = NR }
    END {
      for (i = first; i < last; i++) {
        if (line[i] !~ /^[a-z_0-9]+\(/) continue
        name = line[i]; sub(/\(.*/, "", name)
        if (name == "rt_sigprocmask" && line[i] ~ /SIG_BLOCK/) passes++
        calls[name]++; total++
      }
      if (passes < 1) exit
      n = 0
      for (s in calls) names[++n] = s
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
        if (calls[names[j]] > calls[names[i]]) { t = names[i]; names[i] = names[j]; names[j] = t }
      list = ""
      for (i = 1; i <= n; i++) list = list sprintf("%s%s %g", i > 1 ? ", " : "", names[i], calls[names[i]] / passes)
      printf "%s.passes=%d\n%s.syscalls_per_pass=%g\n%s.syscall_list=%s\n", key, passes, key, total / passes, key, list
      printf "%s.getdents_per_pass=%g\n", key, (calls["getdents64"] + calls["getdents"]) / passes
    }' "$out"
}

# SIGKILL to one application at a time and the time until its next process
# started (its stamp names a new pid).
measure_restarts() {
  local k name old t0 limit latencies=()
  for ((k = 1; k <= kills; k++)); do
    printf -v name 'bench-%04d' $(((k * 7) % n))
    old=$(stamp_pid "$name")
    # Varying pauses put the deaths at different points of the pass.
    sleep "$(awk -v k="$k" 'BEGIN { printf "%.3f", 1.2 + (k * 0.137) % 0.5 }')"
    t0=$EPOCHREALTIME
    kill -KILL "$old" || continue
    limit=$((SECONDS + 30))
    while [ "$(stamp_pid "$name")" = "$old" ] && ((SECONDS < limit)); do sleep 0.01; done
    [ "$(stamp_pid "$name")" != "$old" ] || { say "$name was not restarted"; continue; }
    latencies+=("$(elapsed "$t0" "$(stamp_time "$name")")")
  done
  put "$key.restart_s" "${latencies[*]}"
}

stop_timed() {
  local t0 t1 status
  t0=$EPOCHREALTIME
  kill -TERM "$kepPid"
  wait "$kepPid"
  status=$?
  t1=$EPOCHREALTIME
  put "$key.stop_s" "$(elapsed "$t0" "$t1")"
  put "$key.stop_status" "$status"
}

# kep first (so that it restarts nothing), then every application by its pid.
stop_killed() {
  local stamp pid pids=()
  kill -KILL "$kepPid"
  wait "$kepPid" 2>/dev/null
  for stamp in "$dir"/stamps/bench-*; do
    [ -e "$stamp" ] || continue
    pid=$(stamp_pid "${stamp##*/}") && [ -n "$pid" ] && pids+=("$pid")
  done
  [ ${#pids[@]} -eq 0 ] || kill -KILL "${pids[@]}" 2>/dev/null
  for pid in "${pids[@]}"; do
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  done
}

for n in $counts; do
  key=n$n
  [ -z "${KEP_BENCH_HW_WATCHDOG-}" ] || key=hw$n
  dir=$work/$key
  say "$n applications: preparing"
  prepare "$n" || { say "cannot prepare $dir"; exit 1; }
  # Fresh logs, and no files of an earlier run for kep to clear at its start.
  rm -f "$dlog" "$dlog.1" /var/log/kep/* /var/local/zel/kep/syncFiles/*
  started=$EPOCHREALTIME
  PATH="$dir/bin:$PATH" "$kep" -c "$dir/kep.conf" >"$dir/kep.out" 2>&1 &
  kepPid=$!
  wait_running "$n" || { stop_killed; exit 1; }
  put "$key.start_s" "$(elapsed "$started" "$EPOCHREALTIME")"
  sleep 2
  say "$n applications: memory, then ${window} s of CPU time"
  measure_memory
  measure_cpu
  measure_syscalls
  if [ "$kills" -gt 0 ]; then
    say "$n applications: $kills restarts"
    measure_restarts
  fi
  put "$key.wd_timeouts" "$(logged 'watchdog timeout')"
  put "$key.wd_failures" "$(logged 'KepWatchdogFileTime(')"
  if [[ " $stopCounts " == *" $n "* ]]; then
    say "$n applications: SIGTERM, timed until kep exits"
    stop_timed
  else
    stop_killed
  fi
done
exit 0
