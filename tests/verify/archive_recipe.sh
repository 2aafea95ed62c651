#!/usr/bin/env bash
# Runs the README's recipe for checking an archive of many files in
# parallel, word for word, on a tree of a few hundred links to the sample
# streams and a few files that are no stream, and checks the summary.
#   archive_recipe.sh PSVERIFY_DIR TEST_DATA_DIR
set -euo pipefail
export PATH="$(cd "$1" && pwd):$PATH"
data=$(cd "$2" && pwd)
command -v parallel >/dev/null && command -v jq >/dev/null || { echo "needs GNU parallel and jq"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p archive/a archive/b/c
n=0
for i in $(seq 1 40); do
    for f in "$data"/*.mpg "$data"/*.vob; do
        n=$((n + 1))
        ln -s "$f" "archive/$((i % 2 == 0 ? 0 : 1))-$n-$(basename "$f")"
    done
done
mv archive/0-* archive/a/ && mv archive/1-* archive/b/c/
printf 'not a stream' >archive/b/broken.mpg
printf 'nor this' >'archive/a/with space.vob'
total=$((n + 2))

# --- the recipe, as the README gives it ---
find archive -type f -o -type l | grep -E '\.(mpg|vob|ts|m2ts)$' >files.txt
mkdir -p reports
parallel --jobs "$(nproc)" -N 50 --joblog verify.log \
    'printf "%s\n" {} | psverify --json --files-from - > reports/{#}.json' :::: files.txt || true
cat reports/*.json | jq -s '[.[].files[]] | {
    files: length,
    conformant: map(select(.conformant)) | length,
    not_conformant: map(select(.error == null and (.conformant | not)) | .file),
    unreadable: map(select(.error != null) | {file, error})}' >summary.json
# --- end of the recipe ---

jq -e --argjson total "$total" '.files == $total' summary.json >/dev/null || { echo "FAIL: not every file reported"; cat summary.json; exit 1; }
jq -e '.unreadable | length == 2' summary.json >/dev/null || { echo "FAIL: the two non-streams"; cat summary.json; exit 1; }
jq -e '.unreadable | map(.file) | sort == ["archive/a/with space.vob", "archive/b/broken.mpg"]' summary.json >/dev/null ||
    { echo "FAIL: names of the non-streams"; jq .unreadable summary.json; exit 1; }
# Each sample's verdict as psverify gives it alone.
expected=$(psverify --json "$data"/*.mpg "$data"/*.vob | jq '[.files[] | select(.conformant)] | length')
jq -e --argjson per_copy "$expected" '.conformant == 40 * $per_copy' summary.json >/dev/null ||
    { echo "FAIL: conformant count"; cat summary.json; exit 1; }
echo "recipe: $(jq -c '{files, conformant, not_conformant: (.not_conformant | length)}' summary.json)"
