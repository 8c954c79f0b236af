#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fuzzes the tag reader's block scan for a minute with AddressSanitizer and
# UndefinedBehaviorSanitizer; any crash, over-read or broken field fails CI.
# The crashing input is kept in the output directory for reproduction.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${ID3_FUZZ_DIR:-$root/build-fuzz-id3}
seconds=${ID3_FUZZ_SECONDS:-60}
cd "$root"
mkdir -p "$out"
clang++ -std=c++20 -O1 -g -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I src -I . src/id3.cpp tests/fuzz/id3_fuzz.cpp -o "$out/id3_fuzz"
# New inputs go to the first directory, so the seeds in the tree stay as
# they are.
rm -rf "$out/corpus"
mkdir -p "$out/corpus"
"$out/id3_fuzz" -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" tests/fuzz/id3_corpus
