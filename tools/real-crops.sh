#!/bin/sh
# Biased and unbiased roughness of the real SEM crops in ../shared/data/sem, side by side:
#
#   tools/real-crops.sh [BUILD_DIR] [OUTDIR]      (defaults: build, build/real-crops)
#
# Runs rugon-report on each crop with the pixel size its source gives (the JEOL scale markers
# and the desktop SEM's XML, see SOURCES.md there; the crops themselves carry no metadata) and
# default settings otherwise, then prints one Markdown table: lines, the whole-pixel LWR, the
# biased and unbiased 3-sigma LER and LWR with the unbiased figures' 95 % intervals, the noise
# floor and the spectrum fit (xi, alpha, status). The reports stay in OUTDIR/<crop>/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$build/real-crops}
sem="$root/../shared/data/sem"
report="$build/src/report/rugon-report"
[ -x "$report" ] || { echo "no $report: build first (make build)" >&2; exit 2; }
[ -d "$sem" ] || { echo "no folder $sem" >&2; exit 2; }
mkdir -p "$out"

# crop, nm per pixel (from SOURCES.md; ptl_test_analysis_lines is an unscaled cut of a picture
# whose XML gives 71.7959 nm)
crops="mpa_A1_001_crop.png 2.857
mpa_A3_001_crop.png 3.759
mpa_A6_001_crop.png 2.857
mpa_N5_P340_001_crop.png 17.24
mpa_N5_P440_003_crop.png 6.25
mpa_N5_P475_006_crop.png 20.83
ptl_legacy_analysis_test_crop.png 117.657
ptl_test_analysis_lines_rot90.png 71.7959"

echo "$crops" | while read -r crop nm; do
    name=${crop%.png}
    # Exit status 1 (an image without a line) still leaves a report to read.
    "$report" --jobs 1 --pixel-size "$nm" -o "$out/$name" "$sem/$crop" 2>"$out/$name.log" || true
done

python3 - "$out" <<'EOF'
import csv, math, os, sys

out = sys.argv[1]

def num(row, key, digits=2):
    v = row.get(key, "")
    try:
        f = float(v)
    except ValueError:
        return "–"
    return "–" if math.isnan(f) else f"{f:.{digits}f}"

print("| crop | nm/px | contrast | lines | whole-pixel LWR | LER biased | LER unbiased (95 % CI) "
      "| LWR biased | LWR unbiased (95 % CI) | noise floor nm³ | ξ nm | α | fit |")
print("|---|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|")
for name in sorted(os.listdir(out)):
    summary = os.path.join(out, name, "summary.csv")
    if not os.path.isfile(summary):
        continue
    with open(summary, newline="") as f:
        for r in csv.DictReader(f):
            if r["status"] != "measured":
                print(f"| {name} | {num(r, 'pixel_size_nm', 3)} | {r['contrast']} | 0 | "
                      f"{r['status']} | | | | | | | | |")
                continue
            ler = f"{num(r, 'ler_3sigma_unbiased_nm')} (± {num(r, 'ler_3sigma_unbiased_ci95_nm')})"
            lwr = f"{num(r, 'lwr_3sigma_unbiased_nm')} (± {num(r, 'lwr_3sigma_unbiased_ci95_nm')})"
            print(f"| {name} | {num(r, 'pixel_size_nm', 3)} | {r['contrast']} | {r['lines']} | "
                  f"{num(r, 'lwr_3sigma_nm')} | {num(r, 'ler_3sigma_biased_nm')} | {ler} | "
                  f"{num(r, 'lwr_3sigma_biased_nm')} | {lwr} | {num(r, 'noise_floor_nm3', 3)} | "
                  f"{num(r, 'psd_xi_nm', 1)} | {num(r, 'psd_alpha')} | {r['psd_fit_status']} |")
EOF
