#!/bin/bash
# The service's whole life under Wine's service manager, in throwaway
# namespaces: registered with `ostrival.exe add` and started with
# `ostrival.exe start`, it reaches the running state accepting stop,
# shutdown, parameter change and power events; before running it strips its
# token, tracing one line for each privilege it could not remove, exactly as
# Wine's token and privilege names dictate; it answers interrogate,
# parameter change and user controls without a word and keeps running; the
# stop control ends it with one trace line and its process exits. In all
# that time it sends nothing: the first broadcast is due 128 s after start.
#
# The shutdown control is not tested: services.exe refuses it from
# ControlService (error 87), as Windows does, and ending Wine's session
# (`wineboot --end-session`, with or without --kill) does not send it.
#
# Needs root, iproute2, Wine, python3; OSTRIVAL_EXE, TRACECAP_EXE, SVCPROBE_EXE.
E2E_DEADLINE=${E2E_DEADLINE:-150}
. "$(dirname "$0")/../../tools/rig/lib.sh"
. "$(dirname "$0")/service_lib.sh"

# The service's list of privileges to remove, in its order, each with what
# Wine 8 makes of it for a LocalSystem service: "removed" (known and held),
# "unknown" (LookupPrivilegeValueW does not know the name) or "not-held".
PRIVILEGES=(
  SeAssignPrimaryTokenPrivilege=not-held
  SeAuditPrivilege=not-held
  SeBackupPrivilege=removed
  SeChangeNotifyPrivilege=removed
  SeCreateGlobalPrivilege=removed
  SeCreatePagefilePrivilege=removed
  SeCreatePermanentPrivilege=not-held
  SeCreateSymbolicLinkPrivilege=unknown
  SeCreateTokenPrivilege=not-held
  SeDebugPrivilege=removed
  SeEnableDelegationPrivilege=not-held
  SeImpersonatePrivilege=removed
  SeIncreaseQuotaPrivilege=removed
  SeIncreaseBasePriorityPrivilege=removed
  SeIncreaseWorkingSetPrivilege=unknown
  SeLoadDriverPrivilege=removed
  SeLockMemoryPrivilege=not-held
  SeMachineAccountPrivilege=not-held
  SeManageVolumePrivilege=removed
  SeProfileSingleProcessPrivilege=removed
  SeRelabelPrivilege=unknown
  SeRemoteShutdownPrivilege=removed
  SeRestorePrivilege=removed
  SeSecurityPrivilege=removed
  SeShutdownPrivilege=removed
  SeSyncAgentPrivilege=not-held
  SeSystemEnvironmentPrivilege=removed
  SeSystemProfilePrivilege=removed
  SeSystemtimePrivilege=removed
  SeTakeOwnershipPrivilege=removed
  SeTcbPrivilege=removed
  SeTimeZonePrivilege=unknown
  SeTrustedCredManAccessPrivilege=unknown
  SeUndockPrivilege=removed
  SeUnsolicitedInputPrivilege=unknown
)

# What the service must trace before it reports running.
START_TRACE=("Ostrival: Disabling all privileges" "Ostrival: Removing privileges")
for item in "${PRIVILEGES[@]}"; do
  case ${item#*=} in
    unknown) START_TRACE+=("Ostrival: Lookup Privilege failed.") ;;
    not-held) START_TRACE+=("Ostrival: The token does not have the specified privilege.") ;;
  esac
done
STOP_TRACE=("Ostrival Service: Shutdown Request.")

svc_rig_up
svc_add_and_start
e2e_log "running as process $SVC_PID, $(svc_seconds "$SVC_T_START" "$SVC_T_RUNNING") s after start"

# The privilege lines come before the dispatcher starts, so all are due by now;
# the wait only covers the capture's delivery.
svc_wait_trace "$SVC_PID" "${#START_TRACE[@]}" 20 ||
  svc_fail "fewer than ${#START_TRACE[@]} trace lines from the service process"
svc_trace_is "start" "$SVC_PID" "${START_TRACE[@]}"

# Controls it accepts without acting, and one of the user range: each is
# answered, and the service runs on in the same process, silently.
for control in 4 6 128; do
  svc_probe control "$control" || e2e_die "svcprobe control $control failed"
  svc_expect "control $control" ok=1 code=0 state=4
done
svc_probe status || e2e_die "no status after the controls"
svc_expect "after the controls" state=4 controls=0x4D pid="$SVC_PID"

svc_stop
svc_trace_is "start and stop" "$SVC_PID" "${START_TRACE[@]}" "${STOP_TRACE[@]}"
svc_trace_only_from_service

svc_receiver_stop
count=$(svc_rx_count)
((count == 0)) || svc_fail "$count datagram(s) arrived; none is due before 128 s"
svc_finish
