#!/usr/bin/env bash
# Refreshes apt's package lists, riding out a mirror caught mid-sync: apt
# then reports an index of unexpected size and, with a foreign architecture
# missing its list, the multiarch installs that follow cannot match versions.
# A later attempt often finds the mirror consistent again; when it does not,
# going on is right: the packages we install are all in the main suites, and
# apt-get install fails clearly if one is truly out of reach.
set -uo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

delays=(5 15 30)
for attempt in $(seq 0 ${#delays[@]}); do
  # apt-get update can exit 0 with "W: Failed to fetch" or "E: ... ignored";
  # both mean a list is stale or missing, so read its messages too.
  if out=$($SUDO apt-get update -q -o Acquire::Retries=3 2>&1); then
    if ! grep -qE '^(E|W): (Failed to fetch|Some index files failed)' <<<"$out"; then
      echo "apt-update: package lists are up to date"
      exit 0
    fi
  fi
  grep -E '^(E|W):' <<<"$out" >&2
  [ "$attempt" -lt ${#delays[@]} ] || break
  echo "apt-update: lists incomplete, trying again in ${delays[$attempt]} s" >&2
  sleep "${delays[$attempt]}"
done
echo "apt-update: some lists could not be refreshed; going on with what apt has" >&2
exit 0
