"""The bundled example images from Python, cell by cell (each `# %%` is a notebook cell).

    make python
    PYTHONPATH=build/python /usr/bin/python3 examples/analyse_examples.py

Analyses every PNG image beside this script with the pixel size of examples/input.txt and
prints one table of the main figures, then looks at one image's edges and spectrum.
"""

# %% Analyse the images
from pathlib import Path

import numpy as np

import rugon

HERE = Path(__file__).resolve().parent
PIXEL_SIZE_NM = 2.86  # "pixel 2.86" in examples/input.txt

results = [rugon.analyse(path, pixel_size=PIXEL_SIZE_NM) for path in sorted(HERE.glob("*.png"))]
print(results[0])

# %% One table: the summary.csv columns that matter most here
columns = ["lines", "cd_average_nm", "lwr_3sigma_nm", "cd_subpixel_nm",
           "ler_3sigma_unbiased_nm", "lwr_3sigma_unbiased_nm", "lpr_3sigma_unbiased_nm",
           "psd_xi_nm", "psd_alpha"]
try:
    import pandas as pd
except ImportError:  # pandas is optional: print the same table by hand
    pd = None
if pd is not None:
    table = rugon.summary_frame(results).set_index("image")[columns]
    table.index = [Path(name).name for name in table.index]
    print(table.round(2).to_string())
else:
    def cell(value):
        return "-" if value is None else f"{value:.2f}" if isinstance(value, float) else str(value)

    rows = [[Path(r.name).name] + [cell(r.summary[c]) for c in columns] for r in results]
    header = ["image"] + columns
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(text.rjust(width) for text, width in zip(row, widths)))

# %% Sub-pixel edges of the first image: one position per analysed row, NaN where not found
r = results[0]
for edge in r.edges[:4]:
    found = np.isfinite(edge.positions_px)
    print(f"edge {edge.edge} ({'left' if edge.left else 'right'}): mean column "
          f"{np.nanmean(edge.positions_px):.2f} px over {found.sum()} rows, "
          f"3 sigma {3 * np.nanstd(edge.positions_px):.2f} px (trend included)")

# %% Averaged edge spectrum and its fit (nm^3 against 1/nm)
spectra = r.spectra
f = spectra["frequency_per_nm"]
psd = spectra["ler"]["psd_nm3"]
model = spectra["ler"]["model_nm3"]
print(f"LER spectrum: {len(f)} frequencies, {f[0]:.2e} .. {f[-1]:.2e} 1/nm; "
      f"PSD(lowest) {psd[0]:.3g} nm^3, noise floor {r.noise_floor_nm3 or float('nan'):.3g} nm^3")
if len(model):
    print(f"fitted model at the lowest frequency: {model[0]:.3g} nm^3")
