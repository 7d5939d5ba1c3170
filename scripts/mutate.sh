#!/usr/bin/env bash
# Mutation figure for the protocol code: applies, one at a time, each small change of the list
# below to link/ or job/ (every wait constant, poll budget, purge, status text and result
# code), builds the fast tests in build/mutate, runs them and counts the mutation as caught
# when a test fails. The source is restored after each one (also on Ctrl-C). Prints each
# mutation as caught or MISSED, then the figure.
#
#   scripts/mutate.sh [FILTER]    runs only the mutations whose line contains FILTER
set -euo pipefail
cd "$(dirname "$0")/.."
filter=${1:-}
build=${VANTOR_MUTATE_BUILD:-build/mutate}  # a build of its own, so the mutants never mix with yours
# the quickest to fail first; the soak runs in the normal tests, and the serial tests (whole jobs
# over network ports behind delay and loss, a pty) catch what only a network port or a pty shows
programs=(transcript job link serial)

# file | text | mutated text   (the text must occur exactly once in the file); the source files
# first, as a change to one rebuilds less than a change to a header
mutations=$(cat <<'LIST'
link/boot_link.cpp | PortLineErrors();  // drops | // drops
link/boot_link.cpp | PortPurgeInput();\n    PortLineErrors(); | PortLineErrors();
link/boot_link.cpp | kResyncSettleMs);\n    PortPurgeOutput();\n    PortPurgeInput(); | kResyncSettleMs);\n    PortPurgeOutput();
link/boot_link.cpp | IdentifyResult Identify() {\n    PortPurgeOutput();\n    PortPurgeInput(); | IdentifyResult Identify() {\n    PortPurgeOutput();
link/boot_link.cpp | platform::Sleep(1);  // one look | // one look
link/boot_link.cpp | "Resync Failure:  Slave did not respond to serial break" | "Resync Failure: Slave did not respond to serial break"
link/boot_link.cpp | "Resync Failure:  Slave did not quit sending a serial break" | "Resync Failure: Slave did not quit sending a serial break"
link/boot_link.cpp | "Orrim Init Failure:  Slave did not respond to cmd packet" | "Orrim Init Failure: Slave did not respond to cmd packet"
link/boot_link.cpp | "Orrim Init Failure: Slave incorrectly transmitted" | "Orrim Init Failure:  Slave incorrectly transmitted"
link/boot_link.cpp | "Orrim Init Failure:  Incorrect response received." | "Orrim Init Failure: Incorrect response received."
link/drive_activation.cpp | kSelectToPromptMs = 50 | kSelectToPromptMs = 45
link/drive_activation.cpp | kProbePollBudget = 19 | kProbePollBudget = 18
link/drive_activation.cpp | kProbeAnswerBytes = 3 | kProbeAnswerBytes = 2
link/drive_activation.cpp | kAfterAsteriskMs = 100 | kAfterAsteriskMs = 10
link/drive_activation.cpp | kBootTextGapMs = 500 | kBootTextGapMs = 400
link/drive_activation.cpp | kCommandModePollBudget = 199 | kCommandModePollBudget = 198
link/drive_activation.cpp | kRetryGapMs = 100 | kRetryGapMs = 0
link/drive_activation.cpp | kAddressRetries = 3 | kAddressRetries = 2
link/drive_activation.cpp | kGiveUpPauseMs = 1000 | kGiveUpPauseMs = 900
link/drive_activation.cpp | platform::Sleep(kAfterAsteriskMs);\n        PortPurgeInput(); | platform::Sleep(kAfterAsteriskMs);
link/drive_activation.cpp | PortPurgeOutput();\n    PortWriteText(0, "\\rPrompt 1\\r"); | PortWriteText(0, "\\rPrompt 1\\r");
link/drive_activation.cpp | PortPurgeOutput();\n    PortPurgeInput();\n    PortWriteText(0, "\\r"); | PortPurgeInput();\n    PortWriteText(0, "\\r");
link/drive_activation.cpp | PortPurgeInput();\n    PortWriteText(0, "\\r"); | PortWriteText(0, "\\r");
link/drive_activation.cpp | "Seeking drives..." | "Seeking drives.."
link/drive_activation.cpp | "Trying to activate drive..." | "Trying to activate drive.."
link/drive_activation.cpp | " Error: Detected multiple drives" | "Error: Detected multiple drives"
link/drive_activation.cpp | "Failed to activate Drive at specific address" | "Failed to activate drive at specific address"
link/drive_activation.cpp | ReportStatus("Failed to enable Orrim", 0);\n    return SeekActivation | ReportStatus("Failed to enable orrim", 0);\n    return SeekActivation
link/drive_activation.cpp | PortWriteText(0, "Password\\r"); | PortWriteText(0, "password\\r");
job/download_image.cpp | kToneMs = 1000 | kToneMs = 900
job/download_image.cpp | if (PortBytesWaiting() == 2) {\n            ReadWord(); | if (PortBytesWaiting() == 2) {
job/download_image.cpp | if (!wait.For(2)) {\n        PortPurgeInput();\n        return AckResult::kNothingArrived;\n    }\n    std::uint16_t word | if (!wait.For(2)) {\n        return AckResult::kNothingArrived;\n    }\n    std::uint16_t word
job/download_image.cpp | PortPurgeInput();\n    return AckResult::kUnexpectedWords; | return AckResult::kUnexpectedWords;
job/download_image.cpp | if (!wait.For(4)) {\n        PortPurgeInput(); | if (!wait.For(4)) {
job/download_image.cpp | default:\n            PortPurgeInput(); | default:
job/download_image.cpp | "Attempting to resychronize communications" | "Attempting to resynchronize communications"
job/download_image.cpp | "Downloading packet" | "Downloading Packet"
job/download_image.cpp | "Error: Packet %d transmission failure." | "Error: Packet %d transmission failure"
job/download_image.cpp | "Error: Packet  data response failure." | "Error: Packet data response failure."
job/download_image.cpp | "Error: Packet invalid command failure." | "Error: Packet invalid command failure"
job/download_image.cpp | "Download successful" | "Download successful."
job/download_image.cpp | "WARNING: Packet attemped to write or erase protected memory." | "WARNING: Packet attempted to write or erase protected memory."
job/download_image.cpp | "Error: Packet data response error" | "Error: Packet data response error."
job/download_image.cpp | "Processing file" | "Processing file..."
job/download_image.cpp | "Error: Unable to open file" | "Error: Unable to open file."
job/job.cpp | kResyncRetries = 3 | kResyncRetries = 2
job/job.cpp | kResyncRetryGapMs = 100 | kResyncRetryGapMs = 0
job/job.cpp | PortLineErrors();  // drops | // drops
job/job.cpp | "ERROR: Download failed." | "ERROR: Download failed"
job/job.cpp | "Failed to open files list" | "Failed to open file list"
job/job.cpp | "File not found,press Advanced button to add files." | "File not found, press Advanced button to add files."
link/boot_link.h | kResyncPollBudget = 500 | kResyncPollBudget = 499
link/boot_link.h | kResyncSettleMs = 300 | kResyncSettleMs = 290
link/boot_link.h | kInitReplyWaitMs = 100 | kInitReplyWaitMs = 90
link/boot_link.h | kNoBreakAnswer = -1 | kNoBreakAnswer = -3
link/boot_link.h | kBreakNotEnded = -2 | kBreakNotEnded = -3
link/boot_link.h | kNoAnswer = -1, | kNoAnswer = -4,
link/boot_link.h | kWrongAck = -2, | kWrongAck = -4,
link/boot_link.h | kWrongLength = -3, | kWrongLength = -4,
link/serial_port.h | kBreakMs = 100 | kBreakMs = 90
link/drive_activation.h | kSeveralAnswered = 255 | kSeveralAnswered = 254
job/download_image.h | kMaxSends = 3 | kMaxSends = 2
job/download_image.h | kAckPollBudget = 5000 | kAckPollBudget = 4999
job/download_image.h | kResponsePollBudget = 3000 | kResponsePollBudget = 2999
job/download_image.h | kReadDataExtraBudget = 5000 | kReadDataExtraBudget = 4000
job/download_image.h | case ImageResult::kUnopenable:\n            return -2; | case ImageResult::kUnopenable:\n            return -9;
job/download_image.h | case ImageResult::kNotAcknowledged:\n            return -3; | case ImageResult::kNotAcknowledged:\n            return -9;
job/download_image.h | case ImageResult::kResponseFailed:\n            return -4; | case ImageResult::kResponseFailed:\n            return -9;
job/download_image.h | case ImageResult::kInvalidCommand:\n            return -5; | case ImageResult::kInvalidCommand:\n            return -9;
job/download_image.h | kProtectedMemory = 128 | kProtectedMemory = 129
job/job.h | kSeveralDrives = 1 | kSeveralDrives = 6
job/job.h | kResyncFailed = 2 | kResyncFailed = 6
job/job.h | kIdentifyFailed = 3 | kIdentifyFailed = 6
job/job.h | kFilesListUnopenable = 4 | kFilesListUnopenable = 6
job/job.cpp | if (PortCarriesNoBreaks()) { | if (false) {
link/serial_port.cpp | if (device.FenceAnswered(end_fence_)) { | if (true) {
link/serial_port.cpp | start_fence_ = g_current_port->device()->SendFence(); | start_fence_ = 0;
LIST
)

if [ ! -f "$build/build.ninja" ]; then
  cmake --preset ci -B "$build" -DVANTOR_WERROR=OFF -DVANTOR_BUILD_UI=OFF -DVANTOR_BUILD_BENCH=OFF \
    -DVANTOR_TEST_AREAS="$(IFS=';'; echo "${programs[*]}")" >/dev/null
fi
targets=()
for program in "${programs[@]}"; do targets+=("vantor_${program}_tests"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null

backup=$(mktemp -d)
mutated=""
restore() {
  if [ -n "$mutated" ]; then cp "$backup/original" "$mutated"; mutated=""; fi
}
trap 'restore; rm -rf "$backup"' EXIT
trap 'exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3 (\n in both stands for a line end).
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
old, new = old.replace("\\\\", "\\"), new.replace("\\\\", "\\")
text = open(path).read()
if text.count(old) != 1:
    sys.exit("occurs %d times in %s: %s" % (text.count(old), path, old))
open(path, "w").write(text.replace(old, new))
PY
}

total=0
caught=0
unbuilt=0
missed=()
while IFS= read -r line; do
  [ -z "$line" ] && continue
  case "$line" in *"$filter"*) ;; *) continue ;; esac
  file=${line%% | *}
  rest=${line#* | }
  old=${rest%% | *}
  new=${rest#* | }
  cp "$file" "$backup/original"
  mutated=$file
  apply "$file" "$old" "$new"
  verdict="MISSED"
  if ! cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >"$backup/build.log" 2>&1; then
    verdict="not built"
  else
    for program in "${programs[@]}"; do
      if ! timeout 600 "$build/tests/$program/vantor_${program}_tests" \
        >/dev/null 2>&1; then
        verdict="caught by $program"
        break
      fi
    done
  fi
  restore
  printf '%-22s %s: %s -> %s\n' "$verdict" "$file" "$old" "$new"
  case "$verdict" in
    "not built") unbuilt=$((unbuilt + 1)) ;;
    MISSED) total=$((total + 1)); missed+=("$file: $old -> $new") ;;
    *) total=$((total + 1)); caught=$((caught + 1)) ;;
  esac
done <<<"$mutations"

# The last build holds a mutant; build the real code again so the next run starts clean.
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
echo "mutations caught: $caught of $total"
if [ "$unbuilt" -gt 0 ]; then echo "  ($unbuilt more did not build: fix their lines in the list)"; fi
for m in "${missed[@]}"; do echo "  missed: $m"; done
