#!/usr/bin/env bash
# Breaks each critical behaviour on purpose, one at a time, and checks that the tests named for it
# fail: a test that still passes with its behaviour broken catches nothing. Not part of CI. Run it
# before closing an issue that touches one of these behaviours, and add a row with each new one.
#
#   TARN_TEST_PORT=18380 scripts/mutants.sh [--baseline] [--list] [NAME...]
#
#   NAME        run only these mutants (default: all)
#   --baseline  run each row's tests on the unchanged tree instead: they must pass, or a "kill"
#               proves nothing
#   --list      print the rows and stop
#
# For each mutant: the file is saved, the exact text is replaced (exactly one occurrence, or the
# run stops with "mutant did not apply", so that a refactor cannot quietly turn a mutant into a
# no-op), only what the tests need is rebuilt, only the named tests run, and the file is put back
# (also on Ctrl-C or any other exit). At the end the builds are brought back to the real sources.
# Prints "mutants: N killed, M survived" and names each survivor; exits non-zero unless every
# mutant was killed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
export TARN_TEST_PORT=${TARN_TEST_PORT:-18380}
JOBS=${JOBS:-2}

# --- the table ---------------------------------------------------------------------------------
# mutant NAME BUILD TESTS FILE FROM TO
#   BUILD  native      the unit tests on the host (TESTS: a GoogleTest filter)
#          unit-win32  the same unit tests as a Windows program under Wine (TESTS: a filter)
#          e2e         the 32-bit product and its helpers under Wine (TESTS: pytest node ids,
#                      separated by blanks)
#   FROM   the exact text to replace, found exactly once in FILE; TO its replacement
NAMES=() BUILDS=() TESTS=() FILES=() FROMS=() TOS=()
mutant() {
  NAMES+=("$1") BUILDS+=("$2") TESTS+=("$3") FILES+=("$4") FROMS+=("$5") TOS+=("$6")
}

# Put-back: the old file goes aside, the new one cannot follow, and the old one must come back.
mutant put-back unit-win32 'PlaceFile.*' engine/download_worker_win32.cpp \
  '    *asideLeft = !::MoveFileExA(asidePath, targetPath, 0);' '    *asideLeft = true;'

# Kill safety: the reply is written straight into the target instead of a file beside it.
mutant write-into-target e2e 'tests/e2e/test_worker.py::TestFailures::test_bad_reply[cut-short]' \
  engine/transfer_files_win32.cpp \
  'partial_.reset(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,' \
  'partial_.reset(::CreateFileA(target_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,'

# Kill safety: the scan deletes an old copy left aside instead of moving it back.
mutant inventory-deletes-old-copy native 'InventoryTest.*' engine/inventory.cpp \
  '} else if (platform_.RenameFile(aside.name, target)) {' '} else if (platform_.DeleteFileForce(aside.name)) {'

# Slow-transfer bound: the window never moves on, so one early burst carries the whole transfer.
mutant slow-bound-window-stuck e2e \
  'tests/e2e/test_faults.py::test_burst_then_trickle_ends_the_run_after_two_windows' \
  engine/transfer_win32.cpp '            runBytesAtWindowStart = runBytes;' ''

# Slow-transfer bound: 16 bytes per window instead of 16 KiB.
mutant slow-bound-too-low e2e \
  'tests/e2e/test_faults.py::test_burst_then_trickle_ends_the_run_after_two_windows' \
  engine/transfer_win32.h 'kMinBytesPerWindow = 16 * 1024;' 'kMinBytesPerWindow = 16;'

# Slow-transfer bound: 64 KiB per window, more than a line of 2 KB/s moves.
mutant slow-bound-too-high e2e 'tests/e2e/test_faults.py::test_line_of_2kb_per_second_finishes' \
  engine/transfer_win32.h 'kMinBytesPerWindow = 16 * 1024;' 'kMinBytesPerWindow = 64 * 1024;'

# Slow-transfer bound: the window is judged at a file's last block too, so a slow file that has
# just come whole is cut.
mutant slow-bound-cuts-last-block e2e \
  'tests/e2e/test_faults.py::test_last_block_past_a_slow_window_completes_the_file' \
  engine/transfer_win32.cpp '        if (isFile_ && received_ == limit_) break;' ''

# Per-file SHA-256: a body whose hash differs takes the old file's place.
mutant file-hash-ignored e2e \
  'tests/e2e/test_worker.py::TestFailures::test_body_whose_hash_differs_fails_and_keeps_the_old_file' \
  engine/transfer_win32.cpp \
  '    if (hash_ && !HashMatches(*hash_, req_.sha256)) return DOWNLOAD_ERR_INTERNET;' ''

# Signatures: a signature that does not verify is taken.
mutant signature-unchecked native 'SignatureFileTest.ReleaseCheckVerdicts:SignedDriverTest.*' trust/release_check.cpp \
  'if (!crypto.VerifyP256(key, signedDigest, out->signature.signature))' \
  'if (!crypto.VerifyP256(key, signedDigest, out->signature.signature) && false)'

# Sequence: the same release again counts as a rollback.
mutant sequence-check-strict native 'SignatureFileTest.ReleaseCheckVerdicts' trust/release_check.cpp \
  'if (facts.sequence < lastSequence)' 'if (facts.sequence <= lastSequence)'

# Sequence: a sequence that cannot be recorded is ignored and the run goes on.
mutant sequence-save-ignored native 'SignedDriverTest.*' engine/driver.cpp \
  'if (gate_->sequence() > lastSequence && !SaveLastSequence(platform_, statePath, gate_->sequence())) return false;' \
  'if (gate_->sequence() > lastSequence) SaveLastSequence(platform_, statePath, gate_->sequence());'

# Sequence: a state file that is there but cannot be read counts as no state.
mutant unreadable-state-is-none native 'SignedDriverTest.AStateThatCannotBeReadEndsTheRunAndIsNeverLowered' \
  engine/release_gate.cpp 'return error == kErrorFileNotFound;' 'return true;'

# Sequence: signing goes below the sequence of the signature file in place.
mutant signing-sequence-unchecked native 'ToolSignTest.ASequenceBelow*' tools/update-catalogue/sign_commands.cpp \
  '    if (sequence > inPlace) return true;' '    return true;'

# Crash hand-over: the reporter thread's start passes for a finished report.
mutant hand-over-one-event unit-win32 'CrashHandOver.*' crash/report_hand_over_win32.h \
  'void SignalStarted() { ::SetEvent(started_); }' 'void SignalStarted() { ::SetEvent(done_); }'

# Client start: a command line cut to its buffer is started anyway.
mutant command-line-cut native 'DriverTest.CommandLineOverTheLimitStartsNothing' engine/driver.cpp \
  'if (fits && installDirEntered_) StartClient(commandLine);' 'if (installDirEntered_) StartClient(commandLine);'

# Resume: a 206 continues the kept bytes whatever its Content-Range and length say.
mutant resume-any-206 e2e \
  'tests/e2e/test_resume.py::test_reply_that_cannot_continue_ends_with_the_published_bytes[wrong_range]' \
  engine/transfer_win32.cpp \
  'ContinuesPartial(range, received_, req_.expectedSize) &&
                    announced == req_.expectedSize - received_ && SameEntityTag(remote.get(), files_.record());' \
  'true;'

# Resume: a kept partial is continued although its record no longer matches the planned entry.
mutant resume-keeps-mismatched-partial native 'InventoryTest.KeptPartialsAreSettledAgainstThePlan' \
  engine/driver.cpp 'DecidePartial(&kept.record, &listed, kept.length) == PartialVerdict::kKeep' 'true'

# Resume: a signed build's hash leaves out the kept bytes.
mutant resume-kept-bytes-unhashed e2e \
  'tests/e2e/test_resume.py::test_signed_build_hashes_the_kept_bytes_and_drops_them_when_they_differ' \
  engine/transfer_win32.cpp '(hash_ && !HashKeptBytes(kept))' 'false'

# Resume in the same run: a cut ends the request at once.
mutant resume-no-retry e2e 'tests/e2e/test_resume.py::test_resets_every_4mb_complete_in_one_run' \
  engine/transfer_win32.cpp 'retries >= kMaxRetries' 'true'

# Resume in the same run: tries that move only a few bytes are asked again all the same.
mutant resume-retry-unbounded e2e 'tests/e2e/test_resume.py::test_cuts_that_move_little_are_not_asked_again' \
  engine/transfer_win32.cpp 'moved_ < kMinBytesPerWindow' 'moved_ == 0'

# Block maps: a file built from blocks takes the old one's place although its hash is not the map's.
mutant blockmap-hash-unchecked e2e 'tests/e2e/test_block_maps.py::test_large_file_is_built_from_its_old_blocks_or_fetched_whole[lying-block]' \
  engine/transfer_blocks_win32.cpp '!whole.Finish(&digest) || digest != map.wholeHash' 'false'

# Block maps, resume in the same run: a cut range is never asked again, so the file comes whole.
mutant blockmap-range-no-retry e2e 'tests/e2e/test_block_maps.py::test_cut_ranges_are_asked_again_for_their_rest' \
  engine/transfer_blocks_win32.cpp 'retries >= kMaxRetries) return false;' 'true) return false;'

# Stage order (the publisher's tool): every new file is written beside its place before any
# rename; the renames go files, pim.sig, pim; a failed catalogue puts the previous pim.sig back.
stage_tests='PublishTest.StageChangesNothingServedUntilAllIsWrittenThenRenamesFilesSignatureCatalogue:ToolSignTest.AFailedCatalogueLeavesThePreviousSignatureFileAsItWas'
mutant stage-catalogue-first native "$stage_tests" tools/update-catalogue/publication_posix.cpp \
  '    for (Placement& p : placements_) {' \
  '    for (Placement& p : std::vector<Placement>(placements_.rbegin(), placements_.rend())) {'
mutant stage-sig-after-catalogue native "$stage_tests" tools/update-catalogue/publication_posix.cpp \
  'placements_.insert(placements_.end() - 1, std::move(p));' 'placements_.insert(placements_.end(), std::move(p));'
mutant stage-goes-on-after-failed-file native "$stage_tests" tools/update-catalogue/publication_posix.cpp \
  'if (!io_.CopyBeside(p.source, p.target, p.time, &p.temp, error)) return false;' \
  'if (!io_.CopyBeside(p.source, p.target, p.time, &p.temp, error)) continue;'
mutant stage-sig-not-put-back native "$stage_tests" tools/update-catalogue/publication_posix.cpp \
  'io_.Rename(keptSignature_, signature, &ignored)' 'io_.Remove(signature)'

# --- the runner --------------------------------------------------------------------------------
baseline=0
only=()
for arg in "$@"; do
  case "$arg" in
    --baseline) baseline=1 ;;
    --list)
      for i in "${!NAMES[@]}"; do printf '%-28s %-10s %s  %s\n' "${NAMES[$i]}" "${BUILDS[$i]}" "${FILES[$i]}" "${TESTS[$i]}"; done
      exit 0 ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) only+=("$arg") ;;
  esac
done

source scripts/wine-env.sh
LOGS="$ROOT/build/mutants"
mkdir -p "$LOGS"
SAVED="$LOGS/saved-source"
applied=""  # the file that holds a mutant right now
used_builds=""

put_back() {
  if [ -n "$applied" ]; then
    # A plain copy: the file gets a new time, so the next build compiles it again.
    cp "$SAVED" "$ROOT/$applied"
    applied=""
  fi
}
on_exit() {
  put_back
}
trap on_exit EXIT
trap 'put_back; echo; echo "mutants: interrupted; the sources are restored, the builds may hold a mutant" >&2; exit 130' INT TERM

apply() {  # FILE FROM TO
  /usr/bin/python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
n = text.count(old)
if n != 1:
    sys.exit(f"mutant did not apply: {path} holds the text {n} times, not once:\n{old}")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

build() {  # BUILD LOG
  case "$1" in
    native) cmake --build --preset native -j "$JOBS" --target tarn_unit_tests ;;
    unit-win32) cmake --build --preset win32 -j "$JOBS" --target tarn_unit_tests ;;
    e2e) cmake --build --preset win32 -j "$JOBS" --target TarnFileUpdater TarnFileUpdater_signed TarnFileUpdater_maps TarnFileUpdater_signed_maps worker_probe standin_client window_look ;;
  esac >"$2" 2>&1
}

# Runs the tests; 0 passed, 1 failed, 2 could not tell (nothing ran, usage error).
run_tests() {  # BUILD TESTS LOG
  local rc
  case "$1" in
    native | unit-win32)
      if [ "$1" = native ]; then
        "$ROOT/build/native/tests/unit/tarn_unit_tests" --gtest_filter="$2" >"$3" 2>&1
      else
        scripts/wine-run.sh --timeout 600 "$TARN_WIN_BUILD/tests/unit/tarn_unit_tests.exe" --gtest_filter="$2" >"$3" 2>&1
      fi
      rc=$?
      grep -qE '^\[==========\] [1-9][0-9]* tests? from .* ran' "$3" || return 2
      if grep -qE '^\[  FAILED  \]' "$3" || [ "$rc" -ne 0 ]; then return 1; fi
      return 0 ;;
    e2e)
      # shellcheck disable=SC2086
      /usr/bin/python3 -m pytest -q -p no:cacheprovider $2 >"$3" 2>&1
      rc=$?
      case "$rc" in 0) return 0 ;; 1) return 1 ;; *) return 2 ;; esac ;;
  esac
}

killed=0
survived=0
broken=0
survivors=()
for i in "${!NAMES[@]}"; do
  name=${NAMES[$i]} kind=${BUILDS[$i]} tests=${TESTS[$i]} file=${FILES[$i]}
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then continue; fi
  log="$LOGS/$name"
  t0=$(date +%s)
  if [ "$baseline" -eq 0 ]; then
    cp "$ROOT/$file" "$SAVED"
    applied=$file
    if ! apply "$ROOT/$file" "${FROMS[$i]}" "${TOS[$i]}"; then
      put_back
      echo "mutant did not apply: $name ($file); fix its row" >&2
      exit 3
    fi
  fi
  used_builds="$used_builds $kind"
  if ! build "$kind" "$log.build.log"; then
    put_back
    echo "$name: does not build (see $log.build.log)"
    broken=$((broken + 1))
    continue
  fi
  run_tests "$kind" "$tests" "$log.tests.log"
  result=$?
  put_back
  seconds=$(($(date +%s) - t0))
  if [ "$baseline" -eq 1 ]; then
    case "$result" in
      0) echo "$name: tests pass unchanged (${seconds} s)" ;;
      1) echo "$name: tests FAIL unchanged (see $log.tests.log)"; broken=$((broken + 1)) ;;
      *) echo "$name: no tests ran (see $log.tests.log)"; broken=$((broken + 1)) ;;
    esac
    continue
  fi
  case "$result" in
    1) echo "$name: killed (${seconds} s)"; killed=$((killed + 1)) ;;
    0) echo "$name: SURVIVED (${seconds} s; see $log.tests.log)"; survived=$((survived + 1)); survivors+=("$name") ;;
    *) echo "$name: no tests ran (see $log.tests.log)"; broken=$((broken + 1)) ;;
  esac
done

# The builds go back to the real sources, so that no mutant is left in a program.
for kind in native unit-win32 e2e; do
  if [[ " $used_builds " == *" $kind "* ]]; then
    build "$kind" "$LOGS/restore-$kind.log" || echo "rebuilding $kind after the mutants failed (see $LOGS/restore-$kind.log)"
  fi
done

if [ "$baseline" -eq 1 ]; then
  echo "baseline: $broken rows not passing"
  [ "$broken" -eq 0 ]
  exit
fi
echo "mutants: $killed killed, $survived survived"
for s in "${survivors[@]}"; do echo "survivor: $s"; done
[ "$broken" -gt 0 ] && echo "mutants: $broken rows could not be judged"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
